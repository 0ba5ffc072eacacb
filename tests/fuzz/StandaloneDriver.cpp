// Runs a fuzz target without libFuzzer: every file of the given corpora first, then random mutations
// of them (and of the inputs that decoded) until -max_total_time seconds or -runs executions have
// passed. Accepts libFuzzer's flag spelling so that run.sh drives either build the same way.
#include "FuzzSupport.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// Fragments that matter to the readers: JSON syntax, escapes, date edges and path pieces.
const std::vector<std::string> kTokens {"{", "}", "[", "]", ",", ":", "\"", "null", "true", "false", "-", "0", "1e999",
    "-1", "9223372036854775807", "9223372036854775808", "18446744073709551616", "\\u0000", "\\u001f", "\\u007f",
    "\\ud800", "\\\"", "\\\\", "\\/", "..", "/", "./", "1969", "1970", "9999", "10000", "2262", "1677",
    "-01-01T00:00:00Z", "T23:59:59", "+23:59", "-23:59", "Z", "02-29", "\xff", "\xc3\x28", "\xe3\x81\x82", "\"id\"",
    "\"createdAt\"", "\"note\"", "\"relativeFilePaths\"", "\"targetFileName\"", "\"sourceDirectories\""};

std::string readFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool run(const std::string &input)
{
    velkaro::fuzz::accepted() = false;
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(input.data()), input.size());
    return velkaro::fuzz::accepted();
}

std::string mutate(std::string text, const std::vector<std::string> &pool, std::mt19937_64 &rng)
{
    auto below = [&](std::size_t n) { return n == 0 ? std::size_t {0} : static_cast<std::size_t>(rng() % n); };
    const std::size_t rounds = 1 + below(4);
    for (std::size_t r = 0; r < rounds; ++r) {
        const std::size_t at = below(text.size() + 1);
        switch (below(7)) {
        case 0: // flip a bit
            if (!text.empty())
                text[below(text.size())] ^= static_cast<char>(1u << below(8));
            break;
        case 1: // a random byte
            text.insert(at, 1, static_cast<char>(below(256)));
            break;
        case 2: // cut a run
            text.erase(at, 1 + below(8));
            break;
        case 3: // insert a token
            text.insert(at, kTokens[below(kTokens.size())]);
            break;
        case 4: // replace a run with a token
            text.replace(at, below(6), kTokens[below(kTokens.size())]);
            break;
        case 5: { // copy a run from elsewhere in the text
            const std::size_t from = below(text.size() + 1);
            text.insert(at, text.substr(from, below(32)));
            break;
        }
        default: { // splice with another input
            const std::string &other = pool[below(pool.size())];
            const std::size_t from = below(other.size() + 1);
            text = text.substr(0, at) + other.substr(from);
            break;
        }
        }
    }
    if (text.size() > 64 * 1024)
        text.resize(64 * 1024);
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    double maxSeconds = 10;
    std::uint64_t maxRuns = 0;
    std::uint64_t seed = std::random_device {}();
    std::vector<std::string> pool;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.starts_with("-max_total_time="))
            maxSeconds = std::stod(arg.substr(16));
        else if (arg.starts_with("-runs="))
            maxRuns = std::stoull(arg.substr(6));
        else if (arg.starts_with("-seed="))
            seed = std::stoull(arg.substr(6));
        else if (arg.starts_with("-"))
            std::cerr << "ignored option " << arg << '\n';
        else if (fs::is_directory(arg)) {
            for (const auto &entry : fs::directory_iterator(arg))
                if (entry.is_regular_file())
                    pool.push_back(readFile(entry.path()));
        } else {
            pool.push_back(readFile(arg));
        }
    }
    if (pool.empty())
        pool.emplace_back("{}");

    std::uint64_t runs = 0;
    std::uint64_t accepted = 0;
    for (const auto &input : pool) {
        accepted += run(input) ? 1 : 0;
        ++runs;
    }

    std::mt19937_64 rng(seed);
    const std::size_t seeds = pool.size();
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::duration<double>(maxSeconds);
    while ((maxRuns == 0 || runs < maxRuns) && std::chrono::steady_clock::now() < deadline) {
        const std::string input = mutate(pool[rng() % pool.size()], pool, rng);
        ++runs;
        if (run(input)) {
            ++accepted;
            // Inputs that decode lead deeper into the readers; keep a bounded set of them.
            if (pool.size() < seeds + 4096)
                pool.push_back(input);
            else
                pool[seeds + rng() % 4096] = input;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "Done " << runs << " runs in " << static_cast<long>(seconds) << " second(s); " << accepted
              << " decoded; seed " << seed << "; 0 findings\n";
    return 0;
}
