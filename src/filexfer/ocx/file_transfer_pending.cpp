// Members whose behaviour needs the connection layer of the control; they answer
// E_NOTIMPL until it stands, while the vtable and the dispatch table are already complete.
#include "filexfer/ocx/file_transfer.h"

namespace filexfer {

HRESULT CFileTransfer::get_LocalAddress(BSTR*) { return E_NOTIMPL; }
HRESULT CFileTransfer::get_LocalName(BSTR*) { return E_NOTIMPL; }
HRESULT CFileTransfer::AddFileType(VARIANT, VARIANT) { return E_NOTIMPL; }
HRESULT CFileTransfer::AsyncGetFile(VARIANT, VARIANT, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::AsyncPutFile(VARIANT, VARIANT, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::ChangeDirectory(VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::CloseDirectory(VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::Connect(VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::DeleteFile(VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::GetData(VARIANT, VARIANT*, VARIANT*, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::GetDirectory(VARIANT*, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::GetFile(VARIANT, VARIANT, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::GetFileList(VARIANT, VARIANT*, VARIANT*, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::GetFilePermissions(VARIANT, VARIANT*, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::GetFileStatus(VARIANT, VARIANT*, VARIANT*, VARIANT*, VARIANT*, VARIANT*, VARIANT*, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::GetFileSize(VARIANT, VARIANT*, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::GetFileTime(VARIANT, VARIANT*, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::GetMultipleFiles(VARIANT, VARIANT, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::MakeDirectory(VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::OpenDirectory(VARIANT, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::PostFile(VARIANT, VARIANT, VARIANT, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::PutData(VARIANT, VARIANT, VARIANT, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::PutFile(VARIANT, VARIANT, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::PutMultipleFiles(VARIANT, VARIANT, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::ReadDirectory(VARIANT*, VARIANT*, VARIANT*, VARIANT*, VARIANT*, VARIANT*, VARIANT*, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::RemoveDirectory(VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::RenameFile(VARIANT, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::SetFilePermissions(VARIANT, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::SetFileTime(VARIANT, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::TaskAbort(VARIANT, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::TaskDone(VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::TaskResume(VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::TaskSuspend(VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::TaskWait(VARIANT, VARIANT, VARIANT*, VARIANT*, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::VerifyFile(VARIANT, VARIANT, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CFileTransfer::get_URL(BSTR*) { return E_NOTIMPL; }
HRESULT CFileTransfer::put_URL(BSTR) { return E_NOTIMPL; }

}  // namespace filexfer
