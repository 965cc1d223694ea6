// The engine's texts in the user's language. Both programs show them, so
// they live in the platform's compiled-in table rather than in either
// program's bundle; the key is the English text.
#pragma once

#include "platform/Bundle.h"

inline QString EngineText(const char* key) {
    return plat::PlatformText(key);
}
