// What the format check accepts, case by case. From outside the tool an
// accepted text that is no key looks like a rejected one, so this is the
// only place a wrongly loosened or tightened check shows.

#define main macToSnMain
#include "MACtoSN.cpp"
#undef main

#include <cstdio>
#include <iterator>
#include <utility>

namespace {

const std::pair<std::string, bool> formatCases[] = {
    {"01:23:45:67:89:AB", true},
    {"01-23-45-67-89-ab", true},
    {"01:23-45:67-89:aB", true},
    {"FF:FF:FF:FF:FF:FF", true},
    // Lower and mixed case in every group, either separator in every place.
    {"ab:cd:ef:fa:bc:de", true},
    {"aB:Cd:eF:Ab:cD:Ef", true},
    {"fe-dc-ba-98-76-54", true},
    {"0a-1B:2c-3D:4e-5F", true},
    {"g0:23:45:67:89:AB", false},
    {"01:23:4g:67:89:AB", false},
    {"01:23:45:67:8G:AB", false},
    {"", false},
    {"0123456789AB", false},
    {"0123.4567.89AB", false},
    {"01:23:45:67:89", false},
    {"01:23:45:67:89:AB:CD", false},
    {"1:23:45:67:89:AB", false},
    {"01:23:45:67:89:AG", false},
    {"01:23:45:67:89:AB ", false},
    {"01:23:45:67:89:AB\n", false},
    {" 01:23:45:67:89:AB", false},
    {"01 23 45 67 89 AB", false},
    {"01_23_45_67_89_AB", false},
    {"01/23/45/67/89/AB", false},
    {"01::23:45:67:89:AB", false},
    {"01:23:45:67:89:A", false},
    {"01:23:45:67:89:ABC", false},
    {std::string("01:23:45:67:89:AB\0", 18), false},
    {"\xef\xbc\x90\xef\xbc\x91:23:45:67:89:AB", false},  // full-width digits are no hex digits
};

}  // namespace

int main() {
    int failed = 0;
    for (const auto& [text, accepted] : formatCases) {
        if (isValidMacAddress(text) != accepted) {
            ++failed;
            std::printf("FAIL \"%s\" should be %s\n", text.c_str(), accepted ? "accepted" : "rejected");
        }
    }
    std::printf("%d passed, %d failed\n", static_cast<int>(std::size(formatCases)) - failed, failed);
    return failed == 0 ? 0 : 1;
}
