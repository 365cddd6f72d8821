// The keepalive pinger: an IGNORE message at a fixed interval, driven by the timer list.
#include "ssh/proto/channel.h"
#include "ssh/proto/lifecycle.h"
#include "ssh/util/alloc.h"
#include "ssh/util/timer_list.h"

namespace {

void Schedule(SshPinger* p) {
  if (p->interval == 0) {
    p->pending = 0;
    return;
  }
  uint32_t due = TimerSchedule(p->interval * 1000u, SshPingerTimer, p);
  // An earlier ping already due stays.
  if (p->pending && int32_t(due - p->due) >= 0) return;
  p->due = due;
  p->pending = 1;
}

}  // namespace

SshPinger* SshPingerNew(const SshSettings* settings, SshSession* session) {
  auto* p = static_cast<SshPinger*>(cvssh::AllocOrDie(sizeof(SshPinger)));
  *p = {settings->PingIntervalSeconds, 0, 0, session};
  Schedule(p);
  return p;
}

void SshPingerFree(SshPinger* p) {
  if (!p) return;
  TimerCancelContext(p);
  CheckedFree(p);
}

void SshPingerTimer(void* context, uint32_t now) {
  auto* p = static_cast<SshPinger*>(context);
  if (!p->pending || int32_t(now - p->due) < 0) return;
  SshSpecial(p->session, kSshSpecialPing);
  p->pending = 0;
  Schedule(p);
}
