// The settings reader on arbitrary file contents. Whatever it makes of them, saving and
// loading again must settle: the second save writes the same text as the first, and no
// integer changes on the way.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/options.h"
#include "fuzz/fuzz_support.h"
#include "settings/settings.h"

namespace {

std::string contents(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool sameIntegers(const ProgramOptions& a, const ProgramOptions& b) {
    return a.presetGammaCurve == b.presetGammaCurve && a.jpeg_quality == b.jpeg_quality &&
           a.combine_mode == b.combine_mode && a.low_pass_threshold == b.low_pass_threshold &&
           a.high_pass_threshold == b.high_pass_threshold &&
           a.launch_after_processing == b.launch_after_processing &&
           a.autosuggest_output_name == b.autosuggest_output_name &&
           a.useNoiseReduction == b.useNoiseReduction;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool ready = (fuzz::prepareEngine(), true);
    static const fuzz::ScratchFile input(".ini");
    static const fuzz::ScratchFile first(".ini");
    static const fuzz::ScratchFile second(".ini");
    if (!input.write(data, size))
        return 0;

    ProgramOptions loaded;
    setDefaultOptions(loaded);
    fuzz::check(loadSettingsFile(input.path(), loaded) == 0, "settings file readable");
    fuzz::check(saveSettingsFile(first.path(), loaded) == 0, "settings saved");

    ProgramOptions reloaded;
    setDefaultOptions(reloaded);
    fuzz::check(loadSettingsFile(first.path(), reloaded) == 0, "saved settings readable");
    fuzz::check(sameIntegers(loaded, reloaded), "integers survive a save");
    fuzz::check(saveSettingsFile(second.path(), reloaded) == 0, "settings saved again");

    // A dark-frame name that is the absent-key marker once written (the writer ends values
    // at a line break) legitimately reads back as no name.
    const std::string& name = loaded.darkFrameFile;
    if (name.substr(0, name.find_first_of("\r\n")) != "$$$$") {
        fuzz::check(contents(first.path()) == contents(second.path()),
                    "a saved settings file reads back to itself");
    }
    return 0;
}
