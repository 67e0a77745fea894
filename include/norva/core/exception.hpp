#pragma once

#include <exception>
#include <string>

#include <norva/core/string.hpp>

namespace norva
{
    // The library's one error type. what() is the message alone; the throwing
    // function, source file and line travel beside it.
    class Exception : public std::exception
    {
    public:
        Exception(std::string message, std::string function, std::string file, int line);
        ~Exception() override;

        const char* what() const noexcept override;

        const std::string& getMessage() const noexcept { return m_message; }
        const std::string& getFunction() const noexcept { return m_function; }
        const std::string& getFile() const noexcept { return m_file; }
        int getLine() const noexcept { return m_line; }

    private:
        std::string m_message;
        std::string m_function;
        std::string m_file;
        int m_line;
    };

} // namespace norva

// The function name is a literal: compilers only give the unqualified name, and the
// messages name the qualified one ("norva::MemoryStream::read").
#define NORVA_EXCEPTION(function, ...) \
    ::norva::Exception(::norva::makeString(__VA_ARGS__), function, __FILE__, __LINE__)

#define NORVA_THROW(function, ...) throw NORVA_EXCEPTION(function, __VA_ARGS__)
