#include "platform/AppleEventDelivery.h"
