/* User-space stand-in for the kernel header the lzfse reference sources include. */
#pragma once
#include <stdbool.h>
#include <stdint.h>
#include <sys/types.h>
