// The methods on remote directories: the working directory, creating and removing
// directories, listings entry by entry and as a whole text. FTP only.
#include <cstring>
#include <vector>

#include "core/errors/error_codes.h"
#include "filexfer/ocx/buffer_args.h"
#include "filexfer/ocx/entry_outputs.h"
#include "filexfer/ocx/file_transfer.h"
#include "filexfer/ocx/libraries.h"
#include "filexfer/ocx/method_frame.h"
#include "ftp/ftp.h"
#include "ocx/variant_args.h"
#include "platform/base/utf.h"

namespace filexfer {
namespace {

constexpr uint32_t kDefaultListSize = 32768;

std::string U8(const std::u16string& s) { return ocx::Utf16ToUtf8(s); }

}  // namespace

// The refusals differ by method in what they raise; see each method.
HRESULT CFileTransfer::ChangeDirectory(VARIANT dirName, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error, Init::None);  // initialised after the refusals
  if (auto refused = FtpSessionGate(error, Gate::Direct)) return *refused;
  if (!IsInitialized()) AutoInitialize();
  std::u16string path;
  if (HRESULT hr = TextArgument(dirName, &path, nullptr); FAILED(hr)) return hr;
  return FAILED(ChangeServerDirectory(U8(path))) ? Fail(error) : S_OK;
}

HRESULT CFileTransfer::MakeDirectory(VARIANT dirName, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  if (auto refused = FtpSessionGate(error, Gate::ThroughHandle)) return *refused;
  std::u16string path;
  if (HRESULT hr = TextArgument(dirName, &path, nullptr); FAILED(hr)) return hr;
  return FtpMakeDirectory(session_, U8(path).c_str()) == -1 ? Fail(error) : S_OK;
}

HRESULT CFileTransfer::RemoveDirectory(VARIANT dirName, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  std::u16string path;
  if (HRESULT hr = RemoteNameArgument(dirName, &path, nullptr); FAILED(hr)) return hr;
  if (auto refused = FtpOnlyGate(error, false)) return *refused;
  ImplicitConnection connection(*this);
  if (HRESULT hr = connection.Open(); FAILED(hr)) return hr;
  const int32_t r = FtpDeleteDirectory(session_, U8(path).c_str());
  connection.End();
  return r == -1 ? Fail(error) : S_OK;
}

HRESULT CFileTransfer::GetDirectory(VARIANT* remotePath, VARIANT* error) {
  CV_OCX_ENTRY;
  if (HRESULT hr = ocx::SetVariantBSTR(remotePath, u""); FAILED(hr)) return hr;
  const MethodCall call = BeginMethod(error, Init::None);
  if (auto refused = FtpSessionGate(error, Gate::Direct)) return *refused;
  char path[260] = {};
  if (FtpGetWorkingDirectory(session_, path, sizeof path) == -1) return Fail(error);
  return ocx::SetVariantStringA(remotePath, path);
}

HRESULT CFileTransfer::OpenDirectory(VARIANT dirName, VARIANT parseList, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  if (auto refused = FtpSessionGate(error, Gate::Through)) return *refused;
  std::u16string path;
  if (HRESULT hr = TextArgument(dirName, &path); FAILED(hr)) return hr;
  bool parsed = true;
  if (!ocx::IsMissingArgument(parseList)) {
    VARIANT b{};
    if (HRESULT hr = VariantChangeType(&b, &parseList, 0, VT_BOOL); FAILED(hr)) return hr;
    parsed = b.boolVal != VARIANT_FALSE;
  }
  s_.listParsed = parsed;
  if (FtpOpenDirectory(session_, U8(path).c_str()) == -1) return Fail(error);
  SetState(ControlState::FileList);
  firstRead_ = true;
  return S_OK;
}

HRESULT CFileTransfer::ReadDirectory(VARIANT* fileName, VARIANT* fileLength, VARIANT* fileDate, VARIANT* fileOwner,
                                     VARIANT* fileGroup, VARIANT* filePerms, VARIANT* isDirectory,
                                     VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  if (auto refused = FtpSessionGate(error, Gate::Through)) return *refused;
  if (!fileName || !(fileName->vt == VT_EMPTY || fileName->vt == VT_BSTR || fileName->vt == (VT_BYREF | VT_BSTR)))
    return E_INVALIDARG;
  const EntryOutputs out{fileName, fileLength, fileDate, fileOwner, fileGroup, filePerms, isDirectory};
  ResetEntryOutputs(out, true);

  if (s_.listParsed) {
    FtpFileInfo entry{};
    int32_t r = 0;
    if (firstRead_) {
      firstRead_ = false;
      r = FtpReadFirstEntry(session_, &entry);
    } else {
      r = FtpReadNextEntry(session_, &entry);
    }
    if (r != 1) return Fail(error);
    WriteEntryOutputs(out, entry);
    return S_OK;
  }
  // Raw lines: the library hands out at most one line a call in ASCII type.
  char line[1024];
  const int32_t n = FtpReadData(session_, line, sizeof line);
  if (n < 0) return Fail(error);
  std::string_view text(line, size_t(n));
  if (size_t cr = text.find('\r'); cr != std::string_view::npos)
    text = text.substr(0, cr);
  else if (size_t lf = text.find('\n'); lf != std::string_view::npos)
    text = text.substr(0, lf);
  OutText(fileName, plat::ToUtf16(text));
  return S_OK;
}

HRESULT CFileTransfer::CloseDirectory(VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error, Init::None);
  if (auto refused = FtpSessionGate(error, Gate::Direct)) return *refused;
  const int32_t r = FtpCloseDirectory(session_);
  SetState(ControlState::Idle);
  // The server's verdict on a listing closed early is no concern of the host's; a final
  // reply that never came (a time-out, a cancel) leaves the session out of step, and the
  // call reports it rather than succeed after its OnTimeout.
  if (r == -1 && call_.firstError) return Fail(error);
  return S_OK;
}

HRESULT CFileTransfer::GetFileList(VARIANT remotePath, VARIANT* buffer, VARIANT* length, VARIANT options,
                                   VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  std::u16string path;
  if (HRESULT hr = RemoteNameArgument(remotePath, &path); FAILED(hr)) return hr;
  if (auto refused = FtpOnlyGate(error, false)) return *refused;
  uint32_t listType = 0;
  if (HRESULT hr = ocx::VariantToUInt32(&options, &listType); FAILED(hr)) return hr;

  // The size of the text to fetch follows from Buffer and Length, before any network use.
  if (!buffer) return E_INVALIDARG;
  const bool lengthGiven = length && !ocx::IsMissingArgument(*length);
  int32_t lengthValue = 0;
  if (lengthGiven)
    if (HRESULT hr = ocx::VariantToInt32(length, &lengthValue); FAILED(hr)) return hr;
  int64_t size = 0;
  const VARTYPE base = buffer->vt & VT_TYPEMASK;
  if (base == VT_EMPTY || base == VT_BSTR) {
    if (buffer->vt & VT_ARRAY) return E_INVALIDARG;
    size = lengthGiven ? lengthValue : kDefaultListSize;
  } else if (base == VT_UI1 && (buffer->vt & VT_ARRAY)) {
    if (HRESULT hr = CheckReceiveBuffer(buffer); FAILED(hr)) return hr;
    SAFEARRAY* a = (buffer->vt & VT_BYREF) ? (buffer->pparray ? *buffer->pparray : nullptr) : buffer->parray;
    const int64_t count = a ? int64_t(a->rgsabound[0].cElements) : 0;
    size = count;
    if (lengthGiven) {
      if (lengthValue < 0) return E_INVALIDARG;
      if (lengthValue < count || count == 0) size = lengthValue;
    } else if (count == 0) {
      return E_INVALIDARG;
    }
  } else {
    return E_INVALIDARG;
  }
  if (size < 1) return E_INVALIDARG;

  std::vector<char> text;
  try {
    text.resize(size_t(size) + 1);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  ImplicitConnection connection(*this);
  if (HRESULT hr = connection.Open(); FAILED(hr)) return hr;
  const int32_t n = FtpGetFileList(session_, U8(path).c_str(), listType, text.data(), uint32_t(text.size()));
  connection.End();
  if (n < 0) return Fail(error);
  uint32_t stored = 0;
  return StoreReceivedData(buffer, std::string_view(text.data(), std::min<size_t>(size_t(n), size_t(size))),
                           &stored);
}

}  // namespace filexfer
