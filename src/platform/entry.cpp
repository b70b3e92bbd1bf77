// The operating system's entry function for the server executable. Only the executable links it.
#include "platform/platform.h"

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return ProcessEntry(); }

#else

int main() { return ProcessEntry(); }

#endif
