// A bounded mutation driver for LLVMFuzzerTestOneInput, for compilers without libFuzzer:
//   engine_control_fuzz [iterations] [seed] [max seconds]
// It feeds the seed requests, then random mutations and splices of them.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

const std::vector<std::string> kSeeds = {
    R"({"get":null})",
    R"({"get":{"in":null}})",
    R"({"get":{"limiter":{"ceiling":null},"meter":null}})",
    R"({"change":null})",
    R"({"change":{"meter":{"in":null}}})",
    R"({"set":{"in":{"gain":-30}}})",
    R"({"set":{"out":{"gain":6.5},"limiter":{"ceiling":-3,"release":250}}})",
    R"({"set":{"limiter":{"release":1e3}}})",
    R"({"preset":{"save":"a"}})",
    R"({"preset":{"load":"a"}})",
    R"({"preset":{"list":null}})",
    R"({"preset":{"delete":"a"}})",
    "{\"get\":null}\r\n{\"change\":null}\n",
    "{\"set\":{\"in\":{\"gain\":\"\\u00e9\\ud800\"}}}",
};

const std::vector<std::string> kTokens = {"null",
                                          "true",
                                          "{",
                                          "}",
                                          "[",
                                          "]",
                                          "\"",
                                          ":",
                                          ",",
                                          "\\",
                                          "\\u",
                                          "\\ud800",
                                          "1e999",
                                          "-0",
                                          "NaN",
                                          "\xff",
                                          "\xc3",
                                          "\r\n",
                                          "\n",
                                          "\0",
                                          "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[",
                                          "99999999999999999999",
                                          "\"in\"",
                                          "\"gain\"",
                                          "\"set\"",
                                          "\"preset\"",
                                          "\"..\"",
                                          "\"a/b\"",
                                          "-80",
                                          "24.0000001"};

std::string mutate(std::mt19937& random, std::string input) {
    auto pick = [&](size_t n) { return n == 0 ? size_t{0} : static_cast<size_t>(random() % n); };
    int steps = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < steps; ++i) {
        switch (random() % 6) {
            case 0:
                if (!input.empty()) {
                    input[pick(input.size())] ^= static_cast<char>(1u << (random() % 8));
                }
                break;
            case 1:
                input.insert(pick(input.size() + 1), 1, static_cast<char>(random() & 0xff));
                break;
            case 2:
                if (!input.empty()) {
                    size_t at = pick(input.size());
                    input.erase(at, 1 + pick(8));
                }
                break;
            case 3:
                input.insert(pick(input.size() + 1), kTokens[pick(kTokens.size())]);
                break;
            case 4:
                input += kSeeds[pick(kSeeds.size())];
                break;
            default:
                if (!input.empty()) {
                    size_t at = pick(input.size());
                    input.insert(pick(input.size() + 1), input.substr(at, 1 + pick(16)));
                }
                break;
        }
    }
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    long iterations = argc > 1 ? std::atol(argv[1]) : 20000;
    unsigned seed = argc > 2 ? static_cast<unsigned>(std::atol(argv[2])) : 1u;
    double maxSeconds = argc > 3 ? std::atof(argv[3]) : 60.0;
    std::mt19937 random(seed);
    auto run = [](const std::string& input) {
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    };
    for (const std::string& input : kSeeds) {
        run(input);
    }
    auto start = std::chrono::steady_clock::now();
    long done = 0;
    for (; done < iterations; ++done) {
        if ((done & 255) == 0 &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > maxSeconds) {
            break;
        }
        run(mutate(random, kSeeds[random() % kSeeds.size()]));
    }
    std::printf("%ld inputs, seed %u\n", done, seed);
    return 0;
}
