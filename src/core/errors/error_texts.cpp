#include "core/errors/error_texts.h"

#include <algorithm>
#include <iterator>

#include "core/errors/error_codes.h"

namespace cvcore {
namespace {

// Ascending by code, so a lookup is a binary search (checked at compile time below).
constexpr ErrorText kTable[] = {
  {kCvErrorBase | 10000, "No error"},
  {cvErrorNotHandleOwner, "Handle not owned by the current thread"},
  {cvErrorOperationCanceled, "The blocking operation has been canceled"},
  {cvErrorInvalidFileType, "The specified file type is invalid or not a regular file"},
  {cvErrorInvalidFileName, "The specified file name contains invalid characters or is too long"},
  {cvErrorOutOfMemory, "Out of memory"},
  {cvErrorAccessDenied, "Access denied"},
  {cvErrorInvalidParameter, "Invalid argument passed to function"},
  {cvErrorInvalidBuffer, "Invalid memory address passed to function"},
  {cvErrorBufferTooSmall, "The specified buffer is too small"},
  {cvErrorOperationInProgress, "A network operation is currently in progress"},
  {cvErrorInvalidHandle, "Invalid handle passed to function"},
  {cvErrorInvalidAddress, "Invalid network address specified"},
  {cvErrorProtocolNotAvailable, "The specified network protocol is not available"},
  {cvErrorProtocolNotSupported, "The specified protocol is not supported"},
  {cvErrorProtocolFamily, "The specified protocol family is invalid or not supported"},
  {cvErrorProtocolAddress, "The specified address is invalid for this protocol family"},
  {cvErrorConnectionReset, "Network connection aborted by remote host"},
  {cvErrorNotConnected, "No connection established with remote host"},
  {cvErrorOperationTimeout, "The specified operation has timed out"},
  {cvErrorConnectionRefused, "The connection has been refused by the remote host"},
  {cvErrorTooManyThreads, "Too many threads have been created by the current process"},
  {cvErrorInternalFailure, "An unexpected internal error has occurred"},
  {cvErrorNetworkNotReady, "The networking subsystem is not available on this system"},
  {cvErrorInvalidVersion, "This version of the operating system is not supported"},
  {cvErrorNetworkNotInitialized, "The networking subsystem has not been initialized"},
  {cvErrorInvalidHostName, "The specified hostname is invalid or could not be resolved"},
  {cvErrorInvalidHostAddress, "Invalid host address specified"},
  {cvErrorInvalidServicePort, "Invalid service port number specified"},
  {cvErrorOperationNotBlocking, "No blocking operation in progress on this socket"},
  {cvErrorSecurityNotInitialized, "Unable to initialize security interface for this process"},
  {cvErrorSecurityContext, "Unable to establish security context for this session"},
  {cvErrorSecurityCredentials, "Unable to open certificate store or establish security credentials"},
  {cvErrorSecurityCertificate, "Unable to validate the certificate for this session"},
  {cvErrorSecurityDecryption, "Unable to decrypt data stream"},
  {cvErrorSecurityEncryption, "Unable to encrypt data stream"},
  {cvErrorOperationNotSupported, "The specified operation is not supported"},
  {cvErrorInvalidServerResponse, "Invalid data returned from server"},
  {cvErrorUnexpectedServerResponse, "Unexpected response code returned from server"},
  {cvErrorServiceUnavailable, "The service is currently unavailable"},
  {cvErrorServiceNotReady, "The service is not ready, try again later"},
  {cvErrorServerResyncFailed, "Unable to resynchronize with server"},
  {cvErrorInvalidProxyType, "Invalid proxy server type specified"},
  {cvErrorInvalidProxyLogin, "Unable to login to proxy server using specified credentials"},
  {cvErrorProxyResyncFailed, "Unable to resynchronize with proxy server"},
  {cvErrorInvalidCommand, "Invalid command specified"},
  {cvErrorInvalidCommandParameter, "Invalid command parameter specified"},
  {cvErrorInvalidCommandSequence, "Invalid command sequence specified"},
  {cvErrorCommandNotImplemented, "Specified command not implemented on this server"},
  {cvErrorCommandAborted, "Specified command was aborted by the remote host"},
  {cvErrorInvalidUserName, "The specified username is invalid"},
  {cvErrorAccountRequired, "Account name has not been specified"},
  {cvErrorAuthenticationRequired, "User authentication is required"},
  {cvErrorAlreadyAuthenticated, "User has already been authenticated"},
  {cvErrorAuthenticationFailed, "Unable to authenticate the specified user"},
  {cvErrorConnectionOpen, "Data connection already established"},
  {cvErrorConnectionClosed, "Server closed data connection"},
  {cvErrorConnectionPassive, "Data connection is passive"},
  {cvErrorConnectionFailed, "Unable to open data connection to server"},
  {cvErrorInvalidSecurityLevel, "Data connection cannot be opened with this security setting"},
  {cvErrorCachedTlsRequired, "Data connection requires cached TLS session"},
  {cvErrorDataReadOnly, "Data connection is read-only"},
  {cvErrorDataWriteOnly, "Data connection is write-only"},
  {cvErrorEndOfData, "End of data"},
  {cvErrorRemoteFileUnavailable, "Remote file is unavailable"},
  {cvErrorInsufficientStorage, "Insufficient storage on server"},
  {cvErrorStorageallocation, "File exceeded storage allocation on server"},
  {cvErrorFeatureNotSupported, "The specified feature is not supported"},
  {cvErrorThreadCreationFailed, "Unable to create a new thread for the current process"},
  {cvErrorThreadDeadlock, "The operation would result in the current thread becoming deadlocked"},
  {cvErrorInvalidTask, "The asynchronous task identifier is invalid"},
  {cvErrorTaskActive, "The asynchronous task has not finished"},
  {cvErrorTaskSuspended, "The asynchronous task has been suspended"},
  {cvErrorTaskFinished, "The asynchronous task has finished"},
};

constexpr bool StrictlyAscending() {
  for (size_t i = 1; i < std::size(kTable); ++i)
    if (kTable[i - 1].code >= kTable[i].code) return false;
  return true;
}
static_assert(StrictlyAscending(), "the message table must be sorted by code without duplicates");

}  // namespace

const char* ErrorTextFor(uint32_t code) noexcept {
  const uint32_t full = FullErrorCode(code);
  const auto* it = std::lower_bound(std::begin(kTable), std::end(kTable), full,
                                    [](const ErrorText& e, uint32_t c) { return e.code < c; });
  return (it != std::end(kTable) && it->code == full) ? it->text : nullptr;
}

std::span<const ErrorText> ErrorTextTable() noexcept { return kTable; }

}  // namespace cvcore
