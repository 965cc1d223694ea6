// The set-up every test program runs in: a private home, XDG folders,
// runtime and temporary folders, plain locale, then the tests on the given Qt
// platform ("offscreen" for all but the tests that need a real display).
#pragma once

int RunTestsOnPlatform(int argc, char** argv, const char* platform);
