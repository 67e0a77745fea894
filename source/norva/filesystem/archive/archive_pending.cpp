// Factories of the archive mappers that have not landed yet. Until they do, a path into
// such an archive fails with a clear message instead of listing nothing. Each mapper's
// own file defines its factory; remove the matching function here when it arrives.

#include <norva/core/exception.hpp>
#include <norva/filesystem/mapper.hpp>

namespace norva::filesystem
{
    std::unique_ptr<AbstractMapper> createMapperZIP(ConstMemory, const std::string&)
    {
        NORVA_THROW("norva::filesystem::createMapperZIP", "[mapper.zip] ZIP archives are not supported yet.");
    }

    std::unique_ptr<AbstractMapper> createMapperMGX(ConstMemory, const std::string&)
    {
        NORVA_THROW("norva::filesystem::createMapperMGX", "[mapper.mgx] MGX archives are not supported yet.");
    }

} // namespace norva::filesystem
