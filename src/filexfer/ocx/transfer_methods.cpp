// The methods that move file contents: files, memory buffers, many files at once, form
// uploads, verification, and the automatic file type table.
#include <algorithm>

#include "core/errors/error_codes.h"
#include "filexfer/ocx/buffer_args.h"
#include "filexfer/ocx/file_transfer.h"
#include "filexfer/ocx/libraries.h"
#include "filexfer/ocx/method_frame.h"
#include "ftp/ftp.h"
#include "http/http.h"
#include "ocx/variant_args.h"

namespace filexfer {
namespace {

std::string U8(const std::u16string& s) { return ocx::Utf16ToUtf8(s); }

// A movable block from a library, freed however the method ends.
struct ReceivedBlock {
  plat::HGLOBAL block = nullptr;
  bool locked = false;
  ~ReceivedBlock() {
    if (locked) plat::GlobalUnlock(block);
    if (block) plat::GlobalFree(block);
  }
  std::string_view Data(uint32_t length) {
    if (!block || length == 0) return {};
    const void* p = plat::GlobalLock(block);
    locked = p != nullptr;
    // Never more than the block holds, whatever the count says.
    const size_t n = std::min<size_t>(length, plat::GlobalSize(block));
    return p ? std::string_view(static_cast<const char*>(p), n) : std::string_view();
  }
};

}  // namespace

HRESULT CFileTransfer::GetFile(VARIANT localFile, VARIANT remoteFile, VARIANT offset, VARIANT* error) {
  return FileMethod(true, localFile, remoteFile, offset, error);
}

HRESULT CFileTransfer::PutFile(VARIANT localFile, VARIANT remoteFile, VARIANT offset, VARIANT* error) {
  return FileMethod(false, localFile, remoteFile, offset, error);
}

HRESULT CFileTransfer::FileMethod(bool download, const VARIANT& localFile, const VARIANT& remoteFile,
                                  const VARIANT& offset, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  std::u16string local, remote;
  if (HRESULT hr = TextArgument(localFile, &local, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = RemoteNameArgument(remoteFile, &remote, s_.resource.c_str()); FAILED(hr)) return hr;
  uint64_t from = 0;
  if (HRESULT hr = ocx::VariantToUInt64(&offset, &from); FAILED(hr)) return hr;
  ImplicitConnection connection(*this);
  if (HRESULT hr = connection.Open(); FAILED(hr)) return hr;
  const HRESULT hr = download ? DownloadFile(U8(local), U8(remote), from) : UploadFile(U8(local), U8(remote), from);
  connection.End();
  return FAILED(hr) ? Fail(error) : S_OK;
}

HRESULT CFileTransfer::GetData(VARIANT remoteFile, VARIANT* buffer, VARIANT* length, VARIANT, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  std::u16string remote;
  if (HRESULT hr = RemoteNameArgument(remoteFile, &remote, s_.resource.c_str()); FAILED(hr)) return hr;
  // A buffer that cannot take the data is refused before anything is downloaded.
  if (HRESULT hr = CheckReceiveBuffer(buffer); FAILED(hr)) return hr;
  ImplicitConnection connection(*this);
  if (HRESULT hr = connection.Open(); FAILED(hr)) return hr;
  ReceivedBlock received;
  uint32_t size = 0;
  const std::string name = U8(remote);
  s_.transferFileName = remote;
  const int32_t r = s_.serverType == kServerFtp
                        ? FtpRetrieveData(session_, name.c_str(), &received.block, &size)
                        : HttpRetrieveData(session_, name.c_str(), &received.block, &size, 0);
  connection.End();
  if (r == -1) return Fail(error);
  uint32_t stored = 0;
  if (HRESULT hr = StoreReceivedData(buffer, received.Data(size), &stored); FAILED(hr)) return hr;
  StoreLength(length, stored);
  return S_OK;
}

HRESULT CFileTransfer::PutData(VARIANT remoteFile, VARIANT buffer, VARIANT length, VARIANT, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  std::u16string remote;
  if (HRESULT hr = RemoteNameArgument(remoteFile, &remote, s_.resource.c_str()); FAILED(hr)) return hr;
  std::string data;
  if (HRESULT hr = ReadSendBuffer(buffer, &data); FAILED(hr)) return hr;
  if (!ocx::IsMissingArgument(length)) {
    uint32_t n = 0;
    if (HRESULT hr = ocx::VariantToUInt32(&length, &n); FAILED(hr)) return hr;
    if (n < data.size()) data.resize(n);
  }
  ImplicitConnection connection(*this);
  if (HRESULT hr = connection.Open(); FAILED(hr)) return hr;
  const std::string name = U8(remote);
  s_.transferFileName = remote;
  const int32_t r = s_.serverType == kServerFtp
                        ? FtpStoreData(session_, name.c_str(), data.data(), uint32_t(data.size()))
                        : HttpStoreData(session_, name.c_str(), data.data(), uint32_t(data.size()));
  connection.End();
  return r == -1 ? Fail(error) : S_OK;
}

HRESULT CFileTransfer::GetMultipleFiles(VARIANT localDir, VARIANT remoteDir, VARIANT fileMask, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  if (auto refused = FtpSessionGate(error, Gate::ThroughHandle)) return *refused;
  std::u16string local, remote, mask;
  if (HRESULT hr = TextArgument(localDir, &local, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = TextArgument(remoteDir, &remote, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = TextArgument(fileMask, &mask); FAILED(hr)) return hr;
  const std::string maskText = U8(mask);
  if (FtpRetrieveMultipleFiles(session_, U8(local).c_str(), U8(remote).c_str(),
                               maskText.empty() ? nullptr : maskText.c_str()) == -1)
    return Fail(error);
  return S_OK;
}

HRESULT CFileTransfer::PutMultipleFiles(VARIANT localDir, VARIANT remoteDir, VARIANT fileMask, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  std::u16string local, remote, mask;
  if (HRESULT hr = TextArgument(localDir, &local, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = RemoteNameArgument(remoteDir, &remote, nullptr); FAILED(hr)) return hr;
  if (auto refused = FtpOnlyGate(error, true)) return *refused;
  if (HRESULT hr = TextArgument(fileMask, &mask); FAILED(hr)) return hr;
  ImplicitConnection connection(*this);
  if (HRESULT hr = connection.Open(); FAILED(hr)) return hr;
  const std::string maskText = U8(mask);
  const int32_t r = FtpStoreMultipleFiles(session_, U8(local).c_str(), U8(remote).c_str(),
                                          maskText.empty() ? nullptr : maskText.c_str());
  connection.End();
  return r == -1 ? Fail(error) : S_OK;
}

HRESULT CFileTransfer::PostFile(VARIANT localFile, VARIANT remoteFile, VARIANT fieldName, VARIANT options,
                                VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  std::u16string local, remote, field;
  if (HRESULT hr = TextArgument(localFile, &local); FAILED(hr)) return hr;
  if (HRESULT hr = RemoteNameArgument(remoteFile, &remote, s_.resource.c_str()); FAILED(hr)) return hr;
  if (s_.serverType != kServerHttp) return Refuse(error, cvErrorOperationNotSupported, nullptr, true);
  if (HRESULT hr = TextArgument(fieldName, &field, u"File1"); FAILED(hr)) return hr;
  uint32_t flags = 0;
  if (HRESULT hr = ocx::VariantToUInt32(&options, &flags); FAILED(hr)) return hr;
  ImplicitConnection connection(*this);
  if (HRESULT hr = connection.Open(); FAILED(hr)) return hr;
  s_.transferFileName = remote;
  const int32_t r = HttpPostFile(session_, U8(local).c_str(), U8(remote).c_str(), U8(field).c_str(), flags);
  connection.End();
  return r == -1 ? Fail(error) : S_OK;
}

HRESULT CFileTransfer::VerifyFile(VARIANT localFile, VARIANT remoteFile, VARIANT options, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  std::u16string local, remote;
  if (HRESULT hr = TextArgument(localFile, &local); FAILED(hr)) return hr;
  if (HRESULT hr = RemoteNameArgument(remoteFile, &remote); FAILED(hr)) return hr;
  uint32_t method = 0;
  if (HRESULT hr = ocx::VariantToUInt32(&options, &method); FAILED(hr)) return hr;
  ImplicitConnection connection(*this);
  if (HRESULT hr = connection.Open(); FAILED(hr)) return hr;
  const int32_t r = s_.serverType == kServerFtp
                        ? FtpVerifyFile(session_, U8(local).c_str(), U8(remote).c_str(), method)
                        : HttpVerifyFile(session_, U8(local).c_str(), U8(remote).c_str(), method);
  connection.End();
  return r == 1 ? S_OK : Fail(error);
}

HRESULT CFileTransfer::AddFileType(VARIANT fileExtension, VARIANT fileType) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(nullptr);
  std::u16string extension;
  if (HRESULT hr = TextArgument(fileExtension, &extension); FAILED(hr)) return hr;
  int32_t type = 1;
  if (!ocx::IsMissingArgument(fileType))
    if (HRESULT hr = ocx::VariantToInt32(&fileType, &type); FAILED(hr)) return hr;
  if (extension.empty() || type < 1 || type > 3) return E_INVALIDARG;
  FtpAddFileType(U8(extension).c_str(), uint32_t(type));
  return S_OK;
}

}  // namespace filexfer
