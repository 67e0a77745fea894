/* User-space stand-in for the kernel header the lzfse reference sources include: the
   kernel's own constants (glibc's <limits.h> includes this name too) plus the C limits. */
#pragma once
#include_next <linux/limits.h>
#include <limits.h>
#include <stdint.h>
