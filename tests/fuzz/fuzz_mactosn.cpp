// libFuzzer target: any bytes as the tool's first argument, through main, against the tool's rule: a text of MAC
// form that is a key of the list gives its serial, anything else the failure line echoing it unchanged, status 0
// either way. The oracle shares no code with the tool: its own form check and its own copy of the rows.

#define main macToSnMain
#include "MACtoSN.cpp"
#undef main

#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>

namespace {
bool hasMacForm(const std::string& text) {
    bool form = text.size() == 17;
    for (std::size_t i = 0; form && i < text.size(); ++i) {
        const char c = text[i];
        const bool hexDigit = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        form = i % 3 == 2 ? c == ':' || c == '-' : hexDigit;
    }
    return form;
}

const std::map<std::string, std::string>& listedSerials() {
    static const auto* serials = [] {
        auto* firstRows = new std::map<std::string, std::string>;
        const char* serial = serialText;
        for (const auto& row : serialRows) {
            firstRows->emplace(std::string(row.mac, macLength), std::string(serial, row.serialLength));
            serial += row.serialLength;
        }
        return firstRows;
    }();
    return *serials;
}

std::string expectedOutput(const std::string& mac) {
    const auto found = listedSerials().find(mac);
    if (hasMacForm(mac) && found != listedSerials().end()) {
        return found->second;
    }
    return "Fail:Mac=" + mac + " Not Found In /ZOR/System/Config/BrenvicMACtoSerial.csv";
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An argument ends at its first NUL, as the kernel passes it.
    std::string argument(reinterpret_cast<const char*>(data), size);
    argument.resize(argument.find('\0') == std::string::npos ? size : argument.find('\0'));

    std::ostringstream captured;
    std::streambuf* const standardOutput = std::cout.rdbuf(captured.rdbuf());
    char programName[] = "MACtoSN";
    char* argv[] = {programName, &argument[0], nullptr};
    const int status = macToSnMain(2, argv);
    std::cout.rdbuf(standardOutput);

    if (status != 0 || captured.str() != expectedOutput(argument)) {
        std::fprintf(stderr, "wrong answer: status %d, output of %zu bytes for a %zu-byte argument\n",
                     status, captured.str().size(), argument.size());
        std::abort();
    }
    return 0;
}
