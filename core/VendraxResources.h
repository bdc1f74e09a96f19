#pragma once

// Registers the compiled-in resources (":/ads.txt", ":/ui/...", ":/images/...").
// They live in a static library, whose resource initialiser the linker drops
// unless something refers to it: call this once at start-up, and in every
// test program that reads a resource, before the first read.
void initVendraxResources();
