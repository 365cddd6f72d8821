// The methods that ask about or change one remote file without moving its contents.
#include "core/errors/error_codes.h"
#include "filexfer/ocx/entry_outputs.h"
#include "filexfer/ocx/file_transfer.h"
#include "filexfer/ocx/libraries.h"
#include "filexfer/ocx/method_frame.h"
#include "ftp/ftp.h"
#include "http/http.h"
#include "ocx/variant_args.h"
#include "platform/base/time.h"

namespace filexfer {
namespace {

std::string U8(const std::u16string& s) { return ocx::Utf16ToUtf8(s); }

}  // namespace

HRESULT CFileTransfer::DeleteFile(VARIANT fileName, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  std::u16string name;
  if (HRESULT hr = RemoteNameArgument(fileName, &name, nullptr); FAILED(hr)) return hr;
  ImplicitConnection connection(*this);
  if (HRESULT hr = connection.Open(); FAILED(hr)) return hr;
  const int32_t r = s_.serverType == kServerFtp ? FtpRemoveFile(session_, U8(name).c_str())
                                                : HttpRemoveFile(session_, U8(name).c_str());
  connection.End();
  return r == -1 ? Fail(error) : S_OK;
}

HRESULT CFileTransfer::RenameFile(VARIANT oldFileName, VARIANT newFileName, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  std::u16string from, to;
  if (HRESULT hr = RemoteNameArgument(oldFileName, &from, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = RemoteNameArgument(newFileName, &to, nullptr); FAILED(hr)) return hr;
  if (auto refused = FtpOnlyGate(error, true)) return *refused;
  ImplicitConnection connection(*this);
  if (HRESULT hr = connection.Open(); FAILED(hr)) return hr;
  const int32_t r = FtpRenamePath(session_, U8(from).c_str(), U8(to).c_str());
  connection.End();
  return r == -1 ? Fail(error) : S_OK;
}

HRESULT CFileTransfer::GetFileSize(VARIANT fileName, VARIANT* fileSize, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  if (HRESULT hr = ocx::SetVariantLong(fileSize, 0); FAILED(hr)) return hr;
  std::u16string name;
  if (HRESULT hr = RemoteNameArgument(fileName, &name); FAILED(hr)) return hr;
  ImplicitConnection connection(*this);
  if (HRESULT hr = connection.Open(); FAILED(hr)) return hr;
  uint64_t size = 0;
  const int32_t r = s_.serverType == kServerFtp ? FtpQueryFileSize(session_, U8(name).c_str(), &size)
                                                : HttpQueryFileSize(session_, U8(name).c_str(), &size);
  connection.End();
  if (r == -1) return Fail(error);
  return ocx::SetVariantInt64(fileSize, int64_t(size));
}

HRESULT CFileTransfer::GetFileTime(VARIANT fileName, VARIANT* fileDate, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  if (HRESULT hr = ocx::SetVariantBSTR(fileDate, u""); FAILED(hr)) return hr;
  std::u16string name;
  if (HRESULT hr = RemoteNameArgument(fileName, &name); FAILED(hr)) return hr;
  // No implicit connection: the time is asked on the connection as it stands.
  SYSTEMTIME time{};
  const uint32_t local = s_.localize ? 1 : 0;
  const int32_t r = s_.serverType == kServerFtp ? FtpGetFileTime(session_, U8(name).c_str(), &time, local)
                                                : HttpGetFileTime(session_, U8(name).c_str(), &time, local);
  if (r == -1) return Fail(error);
  DATE date = 0;
  if (!SystemTimeToVariantTime(&time, &date)) return DISP_E_OVERFLOW;
  BSTR text = nullptr;
  if (HRESULT hr = VarBstrFromDate(date, LOCALE_USER_DEFAULT, 0, &text); FAILED(hr)) return hr;
  HRESULT hr = ocx::SetVariantBSTR(fileDate, text);
  SysFreeString(text);
  return hr;
}

HRESULT CFileTransfer::SetFileTime(VARIANT fileName, VARIANT fileDate, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  std::u16string name;
  if (HRESULT hr = RemoteNameArgument(fileName, &name, nullptr); FAILED(hr)) return hr;
  VARIANT date{};
  if (HRESULT hr = VariantChangeType(&date, &fileDate, 0, VT_DATE); FAILED(hr)) return hr;
  if (auto refused = FtpOnlyGate(error, false)) return *refused;
  SYSTEMTIME time{};
  if (!VariantTimeToSystemTime(date.date, &time)) return E_INVALIDARG;
  if (s_.localize) {
    SYSTEMTIME utc{};
    if (!plat::LocalTimeToSystemTime(&time, &utc)) return E_INVALIDARG;
    time = utc;
  }
  ImplicitConnection connection(*this);
  if (HRESULT hr = connection.Open(); FAILED(hr)) return hr;
  const int32_t r = FtpSetFileTime(session_, U8(name).c_str(), &time);
  connection.End();
  return r == -1 ? Fail(error) : S_OK;
}

HRESULT CFileTransfer::GetFileStatus(VARIANT fileName, VARIANT* fileLength, VARIANT* fileDate, VARIANT* fileOwner,
                                     VARIANT* fileGroup, VARIANT* filePerms, VARIANT* isDirectory,
                                     VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  std::u16string name;
  if (HRESULT hr = RemoteNameArgument(fileName, &name, nullptr); FAILED(hr)) return hr;
  if (auto refused = FtpOnlyGate(error, true)) return *refused;
  const EntryOutputs out{nullptr, fileLength, fileDate, fileOwner, fileGroup, filePerms, isDirectory};
  ResetEntryOutputs(out, false);
  ImplicitConnection connection(*this);
  if (HRESULT hr = connection.Open(); FAILED(hr)) return hr;
  FtpFileInfo entry{};
  const int32_t r = FtpGetFileStatus(session_, U8(name).c_str(), &entry);
  connection.End();
  if (r != 1) return Fail(error);
  WriteEntryOutputs(out, entry);
  return S_OK;
}

HRESULT CFileTransfer::GetFilePermissions(VARIANT fileName, VARIANT* filePerms, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  if (HRESULT hr = ocx::SetVariantLong(filePerms, 0); FAILED(hr)) return hr;
  std::u16string name;
  if (HRESULT hr = RemoteNameArgument(fileName, &name); FAILED(hr)) return hr;
  if (auto refused = FtpOnlyGate(error, false)) return *refused;
  ImplicitConnection connection(*this);
  if (HRESULT hr = connection.Open(); FAILED(hr)) return hr;
  uint32_t mode = 0;
  const int32_t r = FtpGetFilePermissions(session_, U8(name).c_str(), &mode);
  connection.End();
  if (r == -1) return Fail(error);
  return ocx::SetVariantLong(filePerms, int32_t(mode));
}

HRESULT CFileTransfer::SetFilePermissions(VARIANT fileName, VARIANT filePerms, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  std::u16string name;
  if (HRESULT hr = RemoteNameArgument(fileName, &name, nullptr); FAILED(hr)) return hr;
  uint32_t mode = 0;
  if (filePerms.vt == VT_I4)
    mode = uint32_t(filePerms.lVal);
  else if (HRESULT hr = ocx::VariantToUInt32(&filePerms, &mode); FAILED(hr))
    return hr;
  if (auto refused = FtpOnlyGate(error, false)) return *refused;
  ImplicitConnection connection(*this);
  if (HRESULT hr = connection.Open(); FAILED(hr)) return hr;
  const int32_t r = FtpSetFilePermissions(session_, U8(name).c_str(), mode);
  connection.End();
  return r == -1 ? Fail(error) : S_OK;
}

}  // namespace filexfer
