#include "peers/peer.h"
