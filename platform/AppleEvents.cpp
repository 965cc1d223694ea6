#include "platform/AppleEvents.h"
