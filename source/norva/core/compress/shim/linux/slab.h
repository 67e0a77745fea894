/* User-space stand-in for the kernel allocator the lzfse reference sources call. */
#pragma once
#include <stdlib.h>
#define GFP_KERNEL 0
#define kmalloc(size, flags) malloc(size)
#define kfree(pointer) free(pointer)
