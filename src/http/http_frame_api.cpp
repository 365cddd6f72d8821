// The HTTP library's frame entry points.
#include "http/http.h"
#include "http/http_library.h"

CV_FRAME_ENTRY_POINTS(Http, HttpClientSession, cvhttp::Library)

LibHandle HttpFindSessionByWindow(HWND window) { return cvhttp::Library().FindHandleByWindow(window); }
