// The x86-64 kernels at the baseline that every x86-64 processor has.
#define KERNEL_LEVEL sse2
#include "kernels/x86_kernels.inl"
