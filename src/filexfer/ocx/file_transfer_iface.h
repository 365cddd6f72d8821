#pragma once
// The dual interface IFileTransfer: one member list gives the vtable (slots in this order after
// IDispatch's seven), the dispatch table and the type information (each entry names its
// arguments). Optional arguments are VARIANTs by value (Var); results and the Error argument
// are VARIANT pointers (VarRef).
#include "platform/com/dispatch.h"

namespace filexfer {

namespace k = ::plat::com::p;  // the parameter kinds

#define CV_FILETRANSFER_STRING(X, name, id) X(GET, name, id, "", k::BstrOut) X(PUT, name, id, "", k::Bstr)
#define CV_FILETRANSFER_LONG(X, name, id) X(GET, name, id, "", k::I4Out) X(PUT, name, id, "", k::I4)
#define CV_FILETRANSFER_BOOL(X, name, id) X(GET, name, id, "", k::BoolOut) X(PUT, name, id, "", k::Bool)

#define IFILETRANSFER_MEMBERS(X)                                                                               \
  X(METHOD, About, -552, "")                                                                                   \
  X(PUT, Enabled, -514, "", k::Bool)                                                                           \
  X(GET, Enabled, -514, "", k::BoolOut)                                                                        \
  CV_FILETRANSFER_STRING(X, Account, 1)                                                                        \
  X(GET, ActivePort, 2, "Index", k::I4, k::I4Out)                                                              \
  X(PUT, ActivePort, 2, "Index", k::I4, k::I4)                                                                 \
  CV_FILETRANSFER_BOOL(X, AppendFile, 3)                                                                       \
  X(GET, CertificateExpires, 4, "", k::BstrOut)                                                                \
  X(GET, CertificateIssued, 5, "", k::BstrOut)                                                                 \
  X(GET, CertificateIssuer, 6, "", k::BstrOut)                                                                 \
  CV_FILETRANSFER_STRING(X, CertificateName, 7)                                                                \
  CV_FILETRANSFER_STRING(X, CertificatePassword, 8)                                                            \
  X(GET, CertificateStatus, 9, "", k::I4Out)                                                                   \
  CV_FILETRANSFER_STRING(X, CertificateStore, 10)                                                              \
  X(GET, CertificateSubject, 11, "", k::BstrOut)                                                               \
  CV_FILETRANSFER_STRING(X, CertificateUser, 12)                                                               \
  X(GET, ChannelMode, 13, "Index", k::I4, k::I4Out)                                                            \
  X(PUT, ChannelMode, 13, "Index", k::I4, k::I4)                                                               \
  X(GET, CipherStrength, 14, "", k::I4Out)                                                                     \
  CV_FILETRANSFER_BOOL(X, Compression, 15)                                                                     \
  CV_FILETRANSFER_LONG(X, DirectoryFormat, 16)                                                                 \
  CV_FILETRANSFER_LONG(X, Encoding, 17)                                                                        \
  CV_FILETRANSFER_LONG(X, Features, 18)                                                                        \
  CV_FILETRANSFER_LONG(X, FileType, 19)                                                                        \
  X(GET, Fingerprint, 20, "", k::BstrOut)                                                                      \
  X(GET, HashStrength, 21, "", k::I4Out)                                                                       \
  X(GET, IsBlocked, 22, "", k::BoolOut)                                                                        \
  X(GET, IsConnected, 23, "", k::BoolOut)                                                                      \
  X(GET, IsInitialized, 24, "", k::BoolOut)                                                                    \
  CV_FILETRANSFER_BOOL(X, KeepAlive, 25)                                                                       \
  CV_FILETRANSFER_LONG(X, LastError, 26)                                                                       \
  X(GET, LastErrorString, 27, "", k::BstrOut)                                                                  \
  X(GET, LocalAddress, 28, "", k::BstrOut)                                                                     \
  CV_FILETRANSFER_BOOL(X, Localize, 29)                                                                        \
  X(GET, LocalName, 30, "", k::BstrOut)                                                                        \
  CV_FILETRANSFER_LONG(X, Options, 31)                                                                         \
  CV_FILETRANSFER_BOOL(X, Passive, 32)                                                                         \
  CV_FILETRANSFER_STRING(X, Password, 33)                                                                      \
  CV_FILETRANSFER_LONG(X, Priority, 34)                                                                        \
  CV_FILETRANSFER_STRING(X, PrivateKey, 35)                                                                    \
  CV_FILETRANSFER_STRING(X, ProtocolVersion, 36)                                                               \
  CV_FILETRANSFER_STRING(X, ProxyPassword, 37)                                                                 \
  CV_FILETRANSFER_LONG(X, ProxyPort, 38)                                                                       \
  CV_FILETRANSFER_STRING(X, ProxyServer, 39)                                                                   \
  CV_FILETRANSFER_LONG(X, ProxyType, 40)                                                                       \
  CV_FILETRANSFER_STRING(X, ProxyUser, 41)                                                                     \
  CV_FILETRANSFER_STRING(X, Resource, 42)                                                                      \
  X(GET, ResultCode, 43, "", k::I4Out)                                                                         \
  X(GET, ResultString, 44, "", k::BstrOut)                                                                     \
  CV_FILETRANSFER_BOOL(X, Secure, 45)                                                                          \
  X(GET, SecureCipher, 46, "", k::I4Out)                                                                       \
  X(GET, SecureHash, 47, "", k::I4Out)                                                                         \
  X(GET, SecureKeyExchange, 48, "", k::I4Out)                                                                  \
  CV_FILETRANSFER_LONG(X, SecureProtocol, 49)                                                                  \
  CV_FILETRANSFER_STRING(X, ServerDirectory, 50)                                                               \
  CV_FILETRANSFER_STRING(X, ServerName, 51)                                                                    \
  CV_FILETRANSFER_LONG(X, ServerPort, 52)                                                                      \
  CV_FILETRANSFER_LONG(X, ServerType, 53)                                                                      \
  X(GET, System, 54, "", k::BstrOut)                                                                           \
  X(GET, TaskCount, 55, "", k::I4Out)                                                                          \
  X(GET, TaskId, 56, "", k::I4Out)                                                                             \
  X(GET, TaskList, 57, "Index", k::I4, k::I4Out)                                                               \
  CV_FILETRANSFER_BOOL(X, ThrowError, 58)                                                                      \
  CV_FILETRANSFER_LONG(X, Timeout, 59)                                                                         \
  CV_FILETRANSFER_BOOL(X, Trace, 60)                                                                           \
  CV_FILETRANSFER_STRING(X, TraceFile, 61)                                                                     \
  CV_FILETRANSFER_LONG(X, TraceFlags, 62)                                                                      \
  X(GET, TransferBytes, 63, "", k::I4Out)                                                                      \
  X(GET, TransferTime, 64, "", k::I4Out)                                                                       \
  CV_FILETRANSFER_STRING(X, URL, 65)                                                                           \
  CV_FILETRANSFER_STRING(X, UserName, 66)                                                                      \
  X(GET, Version, 67, "", k::BstrOut)                                                                          \
  X(METHOD, AddFileType, 68, "FileExtension,FileType", k::Var, k::Var)                                         \
  X(METHOD, AsyncGetFile, 69, "LocalFile,RemoteFile,Offset,Error", k::Var, k::Var, k::Var, k::VarRef)          \
  X(METHOD, AsyncPutFile, 70, "LocalFile,RemoteFile,Offset,Error", k::Var, k::Var, k::Var, k::VarRef)          \
  X(METHOD, Cancel, 71, "Error", k::VarRef)                                                                    \
  X(METHOD, ChangeDirectory, 72, "DirName,Error", k::Var, k::VarRef)                                           \
  X(METHOD, CloseDirectory, 73, "Error", k::VarRef)                                                            \
  X(METHOD, Command, 74, "Command,Error", k::Var, k::VarRef)                                                   \
  X(METHOD, Connect, 75, "ServerName,ServerPort,UserName,Password,Timeout,Options,Error",                      \
    k::Var, k::Var, k::Var, k::Var, k::Var, k::Var, k::VarRef)                                                 \
  X(METHOD, DeleteFile, 76, "FileName,Error", k::Var, k::VarRef)                                               \
  X(METHOD, Disconnect, 77, "Error", k::VarRef)                                                                \
  X(METHOD, GetData, 78, "RemoteFile,Buffer,Length,Reserved,Error",                                            \
    k::Var, k::VarRef, k::VarRef, k::Var, k::VarRef)                                                           \
  X(METHOD, GetDirectory, 79, "RemotePath,Error", k::VarRef, k::VarRef)                                        \
  X(METHOD, GetFile, 80, "LocalFile,RemoteFile,Offset,Error", k::Var, k::Var, k::Var, k::VarRef)               \
  X(METHOD, GetFileList, 81, "RemotePath,Buffer,Length,Options,Error",                                         \
    k::Var, k::VarRef, k::VarRef, k::Var, k::VarRef)                                                           \
  X(METHOD, GetFilePermissions, 82, "FileName,FilePerms,Error", k::Var, k::VarRef, k::VarRef)                  \
  X(METHOD, GetFileStatus, 83, "FileName,FileLength,FileDate,FileOwner,FileGroup,FilePerms,IsDirectory,Error", \
    k::Var, k::VarRef, k::VarRef, k::VarRef, k::VarRef, k::VarRef, k::VarRef, k::VarRef)                       \
  X(METHOD, GetFileSize, 84, "FileName,FileSize,Error", k::Var, k::VarRef, k::VarRef)                          \
  X(METHOD, GetFileTime, 85, "FileName,FileDate,Error", k::Var, k::VarRef, k::VarRef)                          \
  X(METHOD, GetMultipleFiles, 86, "LocalDir,RemoteDir,FileMask,Error", k::Var, k::Var, k::Var, k::VarRef)      \
  X(METHOD, Initialize, 87, "Reserved,Error", k::Var, k::VarRef)                                               \
  X(METHOD, MakeDirectory, 88, "DirName,Error", k::Var, k::VarRef)                                             \
  X(METHOD, OpenDirectory, 89, "DirName,ParseList,Error", k::Var, k::Var, k::VarRef)                           \
  X(METHOD, PostFile, 90, "LocalFile,RemoteFile,FieldName,Options,Error",                                      \
    k::Var, k::Var, k::Var, k::Var, k::VarRef)                                                                 \
  X(METHOD, PutData, 91, "RemoteFile,Buffer,Length,Reserved,Error", k::Var, k::Var, k::Var, k::Var, k::VarRef) \
  X(METHOD, PutFile, 92, "LocalFile,RemoteFile,Offset,Error", k::Var, k::Var, k::Var, k::VarRef)               \
  X(METHOD, PutMultipleFiles, 93, "LocalDir,RemoteDir,FileMask,Error", k::Var, k::Var, k::Var, k::VarRef)      \
  X(METHOD, ReadDirectory, 94, "FileName,FileLength,FileDate,FileOwner,FileGroup,FilePerms,IsDirectory,Error", \
    k::VarRef, k::VarRef, k::VarRef, k::VarRef, k::VarRef, k::VarRef, k::VarRef, k::VarRef)                    \
  X(METHOD, RemoveDirectory, 95, "DirName,Error", k::Var, k::VarRef)                                           \
  X(METHOD, RenameFile, 96, "OldFileName,NewFileName,Error", k::Var, k::Var, k::VarRef)                        \
  X(METHOD, Reset, 97, "")                                                                                     \
  X(METHOD, SetFilePermissions, 98, "FileName,FilePerms,Error", k::Var, k::Var, k::VarRef)                     \
  X(METHOD, SetFileTime, 99, "FileName,FileDate,Error", k::Var, k::Var, k::VarRef)                             \
  X(METHOD, TaskAbort, 100, "TaskId,Milliseconds,Error", k::Var, k::Var, k::VarRef)                            \
  X(METHOD, TaskDone, 101, "TaskId,Result", k::Var, k::VarRef)                                                 \
  X(METHOD, TaskResume, 102, "TaskId,Error", k::Var, k::VarRef)                                                \
  X(METHOD, TaskSuspend, 103, "TaskId,Error", k::Var, k::VarRef)                                               \
  X(METHOD, TaskWait, 104, "TaskId,Milliseconds,TimeElapsed,TaskError,Error",                                  \
    k::Var, k::Var, k::VarRef, k::VarRef, k::VarRef)                                                           \
  X(METHOD, Uninitialize, 105, "")                                                                             \
  X(METHOD, VerifyFile, 106, "LocalFile,RemoteFile,Options,Error", k::Var, k::Var, k::Var, k::VarRef)          \
  X(GET, TransferBytesXL, 107, "", k::R8Out)                                                                   \
  X(GET, TransferRate, 108, "", k::I4Out)

CV_DISPATCH_INTERFACE(IFileTransfer, IFILETRANSFER_MEMBERS)

}  // namespace filexfer
