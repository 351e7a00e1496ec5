#include "Arguments.h"

namespace tools {

std::vector<std::string> Arguments(int argc, const char* const* argv, const std::string& withValue) {
    std::vector<std::string> out;
    bool operands = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (operands) {
            out.insert(out.end(), {"--", word});
        } else if (word == "--") {
            operands = true;
        } else if (word.rfind("--", 0) == 0) {
            const std::size_t equals = word.find('=');
            out.push_back(word.substr(0, equals));
            if (equals != std::string::npos) out.push_back(word.substr(equals + 1));
        } else if (word.size() > 2 && word[0] == '-') {
            for (std::size_t k = 1; k < word.size(); ++k) {
                out.push_back(std::string("-") + word[k]);
                if (withValue.find(word[k]) == std::string::npos) continue;
                if (k + 1 < word.size()) out.push_back(word.substr(k + 1));
                break;
            }
        } else {
            out.push_back(word);
        }
    }
    return out;
}

}  // namespace tools
