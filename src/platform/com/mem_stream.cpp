// A growable in-memory IStream (what a control's extent persistence needs).
#include <cstring>
#include <new>
#include <vector>

#include "platform/com/com.h"
#include "platform/com/unknown_impl.h"

namespace {

class MemStream final : public IStream, public plat::com::RefCount {
 public:
  MemStream(const BYTE* data, UINT size) : data_(data, data + (data ? size : 0)) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return plat::com::QueryFromTable(riid, ppv, {{&IID_IStream, this}, {&IID_ISequentialStream, this}});
  }
  CV_COM_REFCOUNT

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    size_t n = pos_ < data_.size() ? std::min<size_t>(cb, data_.size() - pos_) : 0;
    if (n) std::memcpy(pv, data_.data() + pos_, n);
    pos_ += n;
    if (pcbRead) *pcbRead = ULONG(n);
    return n == cb ? S_OK : S_FALSE;
  }
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    if (pos_ + cb > data_.size()) data_.resize(pos_ + cb);
    if (cb) std::memcpy(data_.data() + pos_, pv, cb);
    pos_ += cb;
    if (pcbWritten) *pcbWritten = cb;
    return S_OK;
  }
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPos) override {
    int64_t base = origin == STREAM_SEEK_SET ? 0 : origin == STREAM_SEEK_CUR ? int64_t(pos_)
                   : origin == STREAM_SEEK_END ? int64_t(data_.size()) : -1;
    if (base < 0) return STG_E_INVALIDFUNCTION;
    int64_t target = base + move.QuadPart;
    if (target < 0) return STG_E_INVALIDFUNCTION;
    pos_ = size_t(target);
    if (newPos) newPos->QuadPart = pos_;
    return S_OK;
  }
  HRESULT SetSize(ULARGE_INTEGER size) override {
    if (size.QuadPart > (uint64_t(1) << 31)) return STG_E_MEDIUMFULL;
    data_.resize(size_t(size.QuadPart));
    return S_OK;
  }
  HRESULT CopyTo(IStream* to, ULARGE_INTEGER cb, ULARGE_INTEGER* read, ULARGE_INTEGER* written) override {
    if (!to) return STG_E_INVALIDPOINTER;
    size_t n = pos_ < data_.size() ? size_t(std::min<uint64_t>(cb.QuadPart, data_.size() - pos_)) : 0;
    ULONG done = 0;
    HRESULT hr = to->Write(data_.data() + pos_, ULONG(n), &done);
    pos_ += n;
    if (read) read->QuadPart = n;
    if (written) written->QuadPart = done;
    return hr;
  }
  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return S_OK; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
  HRESULT Clone(IStream** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    auto* copy = new (std::nothrow) MemStream(data_.data(), UINT(data_.size()));
    if (!copy) return E_OUTOFMEMORY;
    copy->pos_ = pos_;
    *out = copy;
    return S_OK;
  }

 private:
  std::vector<BYTE> data_;
  size_t pos_ = 0;
};

}  // namespace

IStream* SHCreateMemStream(const BYTE* pInit, UINT cbInit) { return new (std::nothrow) MemStream(pInit, cbInit); }
