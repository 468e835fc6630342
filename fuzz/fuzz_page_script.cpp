// A page script loaded from any text and run over any page. The input is the script, a
// zero byte, the page, a zero byte and the variable's name; without the name the script's
// first variable runs. Each run goes over indexes 1 to 3 so the scan memory is used, and
// whatever the script says, the part reported lies inside the page and the run ends.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "content/PageScript.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t first = input.find('\0');
    std::string_view scriptText = input.substr(0, first);
    std::string_view page, variable;
    bool named = false;
    if (first != std::string_view::npos) {
        std::string_view rest = input.substr(first + 1);
        size_t second = rest.find('\0');
        page = rest.substr(0, second);
        if (second != std::string_view::npos) {
            variable = rest.substr(second + 1);
            named = true;
        }
    }
    CPageScript script;
    script.LoadText(scriptText);
    std::string name(variable);
    if (!named) {
        for (const auto& ins : script.program())
            if (ins.op == CPageScript::kVariable) {
                name = ins.text;
                break;
            }
    }
    for (const auto& ins : script.program())
        if (ins.text.size() > CPageScript::kMaxText) std::abort();
    for (int index = 1; index <= 3; ++index) {
        int64_t start = -1, end = -1;
        std::string result = script.Run(page, name, index, &start, &end);
        if (start < 0 || end < start || end > static_cast<int64_t>(page.size())) std::abort();
    }
    return 0;
}
