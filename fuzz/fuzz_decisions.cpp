// Parses arbitrary text as an operator's decision file and checks what a parsed row holds.
#include "decisions/decisions.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto rows = vrel::ParseDecisions(text);
    if (!rows) {
        if (rows.Err().Detail().empty()) {
            std::abort(); // every refusal says why
        }
        return 0;
    }
    size_t last_line = 0;
    for (const vrel::Decision& row : *rows) {
        // Rows come in file order, each with a path, and nothing holds more than the file.
        if (row.path.empty() || row.line <= last_line || row.path.size() > size ||
            row.note.size() > size) {
            std::abort();
        }
        last_line = row.line;
    }
    return 0;
}
