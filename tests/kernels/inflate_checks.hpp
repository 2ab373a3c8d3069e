// The inflater against the system's zlib (inflate_checks.cpp).
#pragma once

namespace checks {

// The streams that checkInflaterAgainstZlib makes (kernel_checks --streams N).
inline long randomStreamCount = 4000;

// A stream per rule that zlib enforces, each refused, and the corner cases
// that zlib accepts, each inflated to zlib's bytes; every cut and every
// trailing byte of a few streams.
void checkInflaterRules();

// Random, mutated and hand-rolled streams: the verdict (clean or not) and the
// bytes equal zlib's.
void checkInflaterAgainstZlib();

}  // namespace checks
