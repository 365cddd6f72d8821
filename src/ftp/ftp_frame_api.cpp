// The FTP library's frame entry points.
#include "ftp/ftp.h"
#include "ftp/ftp_library.h"

CV_FRAME_ENTRY_POINTS(Ftp, FtpSession, cvftp::Library)

LibHandle FtpFindHandleByWindow(HWND window) { return cvftp::Library().FindHandleByWindow(window); }
