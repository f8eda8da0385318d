// The platform layer's own logic: the ANSI conversion and the recursive lock.
#include "doctest.h"

#include "platform/lock.h"
#include "platform/tracedata.h"
#include "support/text_check.h"

using namespace olv;

TEST_CASE("AnsiToUtf16 converts 8-bit text and refuses a text that does not fit") {
    char16_t out[6];
    CHECK(AnsiToUtf16("cmd.x", out, 6));
    CHECK(U8(out) == "cmd.x");
    CHECK_FALSE(AnsiToUtf16("cmd.ex", out, 6));
    CHECK(out[0] == 0);
#ifndef _WIN32
    CHECK(AnsiToUtf16("\x80\xE9", out, 6)); // code page 1252 on the stand-in
    CHECK(U8(out) == "\xE2\x82\xAC\xC3\xA9");
#endif
}

TEST_CASE("the lock is recursive and may be released any number of times") {
    static Lock lock;
    InitLock(&lock);
    {
        LockGuard outer(&lock);
        LockGuard inner(&lock); // the same thread enters again without blocking
    }
    DeleteLock(&lock);
    DeleteLock(&lock);
}
