#pragma once
// Tiny "--name value" command-line reader shared by the baseline programs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace quelt::bench {

class Arguments {
public:
    Arguments(int argc, char** argv) {
        for (int i = 1; i + 1 < argc; i += 2) {
            std::string name = argv[i];
            if (name.rfind("--", 0) != 0) usage_error("expected --name value pairs, got " + name);
            values_[name.substr(2)] = argv[i + 1];
        }
        if (argc % 2 == 0) usage_error(std::string("missing value after ") + argv[argc - 1]);
    }

    std::string text(const std::string& name, const std::string& fallback) const {
        auto found = values_.find(name);
        return found == values_.end() ? fallback : found->second;
    }

    std::uint64_t number(const std::string& name, std::uint64_t fallback) const {
        auto found = values_.find(name);
        if (found == values_.end()) return fallback;
        char* end = nullptr;
        std::uint64_t value = std::strtoull(found->second.c_str(), &end, 10);
        if (end == found->second.c_str() || *end != '\0') usage_error("--" + name + " needs a number");
        return value;
    }

    // A processor number, or -1 when the option is absent.
    long cpu(const std::string& name) const {
        return values_.count(name) ? static_cast<long>(number(name, 0)) : -1;
    }

    [[noreturn]] static void usage_error(const std::string& message) {
        std::fprintf(stderr, "error: %s\n", message.c_str());
        std::exit(2);
    }

private:
    std::map<std::string, std::string> values_;
};

}  // namespace quelt::bench
