#pragma once
// The host-thread side of a server control's library events, shared by the server
// controls. C is the control's ServerControl base (which befriends this template) and
// Message the window message its library notifications travel in; C supplies Running,
// Raise and DispatchLibraryEvent, and holds notify_ and clientId_.
#include <cstdint>

#include "core/errors/error_codes.h"
#include "ocx/server_notify.h"
#include "ocx/variant_args.h"

namespace ocx {

template <class C, UINT Message>
struct ServerNotifyMembers {
  // The engine's callback; context is the control's ServerNotifyTarget. following: the
  // MAKELONG(event, error) of an event of the client that follows this one at once, or 0.
  static int32_t Callback(uint32_t clientId, uint16_t event, uint16_t error, uint32_t following, uint64_t context) {
    auto* target = reinterpret_cast<ServerNotifyTarget*>(context);
    const LPARAM param = following && error == 0 ? MakeEventPairParam(event, following) : MakeEventParam(event, error);
    return int32_t(DeliverServerNotification(target, Message, WPARAM(clientId), param));
  }

  static LRESULT OnWindowMessage(C& c, UINT msg, WPARAM wParam, LPARAM lParam, bool* handled) {
    *handled = msg == Message;
    if (*handled) c.OnLibraryNotify(wParam, lParam);
    return 0;
  }

  // Runs inside the caller's entry guard.
  static void OnLibraryNotify(C& c, WPARAM wParam, LPARAM lParam) {
    if (!c.Running()) return;
    if (c.EventsFrozen()) {
      c.notify_.queue.Queue(Message, uint64_t(wParam), uint64_t(lParam));
      return;
    }
    // Frozen while firing: an event arriving from a handler that pumps messages waits its turn.
    c.FreezeEvents(1);
    c.clientId_ = uint32_t(wParam);
    Fire(c, uint32_t(lParam));
    // The second of a pair, unless the first stopped the server.
    if (const uint32_t following = PairedEvent(lParam); following && c.Running()) Fire(c, following);
    c.clientId_ = 0;
    c.FreezeEvents(0);
    if (!c.EventsFrozen() && c.Window()) SendQueuedNotifications(c.notify_.queue, c.Window());
  }

 private:
  // One library event of the current client, MAKELONG(event, error): an error word becomes
  // OnError only.
  static void Fire(C& c, uint32_t eventAndError) {
    const uint16_t event = uint16_t(eventAndError & 0xFFFFu);
    const uint16_t error = uint16_t(eventAndError >> 16);
    if (error != 0) c.Raise(kCvErrorBase | error, false, true);
    else c.DispatchLibraryEvent(c.clientId_, event);
  }
};

}  // namespace ocx
