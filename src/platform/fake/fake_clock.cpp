// A clock that tests set and advance by hand (header-only; this file anchors the library).
#include "platform/fake/fake_clock.h"
