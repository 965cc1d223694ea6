#include "platform/Alias.h"
