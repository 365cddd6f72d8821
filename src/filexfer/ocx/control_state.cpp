#include "core/state/named_state.h"
#include "filexfer/ocx/file_transfer.h"

namespace filexfer {

namespace {

constexpr cvcore::StateName<ControlState> kNames[] = {
    {ControlState::Unused, "unused"},         {ControlState::Idle, "idle"},
    {ControlState::Connecting, "connecting"}, {ControlState::Login, "logging in"},
    {ControlState::Transfer, "transferring"}, {ControlState::FileList, "listing files"},
};

}  // namespace

void CFileTransfer::SetState(ControlState next) noexcept {
  cvcore::ChangeState(s_.state, next, kNames, "FileTransfer control", session_);
}

}  // namespace filexfer
