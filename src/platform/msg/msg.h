#pragma once
// Everything of the message layer in one include.
#include "platform/msg/message.h"
#include "platform/msg/msg_types.h"
#include "platform/msg/subclass.h"
#include "platform/msg/timer.h"
#include "platform/msg/wait.h"
#include "platform/msg/window.h"
