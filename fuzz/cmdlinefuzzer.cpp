// Parses arbitrary token lists, separated by NUL bytes, with the option sets of both programs, help included.
#include "commandlinereport.h"
#include "daemonoptions.h"
#include "senderoptions.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Fresh objects for every input: the parser and its arguments keep their state.
template <typename Options>
void parseAs(std::vector<char*>& argv)
{
    Options options(static_cast<int>(argv.size()) - 1, argv.data());
    parseCommandLine([&options] { options.parse(); }, stdout);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Help goes to standard output, where it would only bury libFuzzer's own report.
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> tokens{"fuzz"};
    std::string token;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            tokens.push_back(token);
            token.clear();
        } else {
            token.push_back(static_cast<char>(data[i]));
        }
    }
    if (size > 0)
        tokens.push_back(token);

    std::vector<char*> argv;
    for (std::string& t : tokens)
        argv.push_back(t.data());
    argv.push_back(nullptr);
    parseAs<DaemonOptions>(argv);
    parseAs<SenderOptions>(argv);
    return 0;
}
