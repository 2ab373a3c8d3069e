// The x86-64 kernels with byte shuffles (built with -mssse3).
#define KERNEL_LEVEL ssse3
#include "kernels/x86_kernels.inl"
