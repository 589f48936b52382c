// The text a StringBuffer holds, read back through its file writer.
#pragma once

#include <cstdio>
#include <string>

#include "StringBuffer.h"

namespace vesktest {

inline std::string BufferText(const Orlo::StringBuffer& buffer) {
    FILE* file = tmpfile();
    buffer.Write(file);
    std::string text(static_cast<size_t>(ftell(file)), '\0');
    rewind(file);
    text.resize(fread(&text[0], 1, text.size(), file));
    fclose(file);
    return text;
}

}  // namespace vesktest
