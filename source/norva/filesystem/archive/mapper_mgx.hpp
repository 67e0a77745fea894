#pragma once

// A seam for tests and benchmarks: an MGX mapper whose decompression tasks run on the given
// pool instead of the process-wide one, so that worker counts can be compared.

#include <memory>
#include <string>

#include <norva/core/thread.hpp>
#include <norva/filesystem/mapper.hpp>

namespace norva::filesystem::detail
{
    // The pool must outlive the mapper and every file it maps.
    std::unique_ptr<AbstractMapper> createMapperMGX(ConstMemory parent, ThreadPool& pool);

} // namespace norva::filesystem::detail
