// The examined program's command line: how each argument is quoted so that the program's start-up
// code splits it back exactly, and how a command line splits into its arguments.
#pragma once

#include <cstddef>

namespace olv {

// Appends arg to out (capacity in characters, terminated) quoted so that the program's start-up
// code splits it back into exactly arg: as it is when it has no blank, tab, line feed, vertical
// tab or quote and is not empty; else in quotes, with each quote escaped by a backslash and the
// backslashes before a quote or the closing quote doubled. False (out unchanged) when it does not
// fit.
bool AppendQuotedArgument(char16_t* out, size_t capacity, const char16_t* arg);
// The arguments joined by single blanks, each quoted as above. False (out empty) when they do not
// fit capacity.
bool BuildArgumentText(const char16_t* const* args, int count, char16_t* out, size_t capacity);
// Splits a command line's arguments the way the system's start-up code splits those after the
// program name: blanks and tabs separate; 2n backslashes and a quote give n backslashes and
// open or close quoting; 2n+1 backslashes and a quote give n backslashes and a quote; other
// backslashes are literal; within quotes, two quotes give one quote. Calls take(context, text,
// length) for each argument; returns the count.
using ArgumentTaker = void (*)(void* context, const char16_t* text, size_t length);
int SplitArgumentText(const char16_t* line, ArgumentTaker take, void* context);

} // namespace olv
