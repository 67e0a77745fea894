#include <norva/core/exception.hpp>

#include <utility>

namespace norva
{
    Exception::Exception(std::string message, std::string function, std::string file, int line)
        : m_message(std::move(message))
        , m_function(std::move(function))
        , m_file(std::move(file))
        , m_line(line)
    {
    }

    Exception::~Exception() = default;

    const char* Exception::what() const noexcept
    {
        return m_message.c_str();
    }

} // namespace norva
