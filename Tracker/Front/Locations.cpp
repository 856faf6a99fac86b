#include "Front/Locations.hpp"

#include <iostream>

#include "Core/SettingsInstaller.hpp"

namespace tracker::Front {

const char* Locations::helpText() {
    return "  --state-dir DIR           state directory (default: $VAZ_ADODIVO_STATE_DIR,\n"
           "                            else ~/.claude/usage-state)\n"
           "  --settings FILE           Claude Code's settings file (default:\n"
           "                            $VAZ_ADODIVO_SETTINGS_FILE, else ~/.claude/settings.json)\n"
           "  -h, --help                show this text\n";
}

bool Locations::take(Arguments& arguments) {
    if (auto value = arguments.value("--state-dir")) {
        stateDirOption = value;
        return true;
    }
    if (auto value = arguments.value("--settings")) {
        settingsOption = value;
        return true;
    }
    return false;
}

StateDir Locations::stateDir(const Environment& environment) const {
    return StateDir::fromEnvironment(stateDirOption, environment);
}

std::string Locations::settingsPath(const Environment& environment) const {
    return SettingsInstaller::settingsPath(settingsOption, environment);
}

bool Locations::takeReportOptions(Arguments& arguments, bool& json, const char* usage,
                                  const std::function<bool(Arguments&)>& more) {
    while (!arguments.empty()) {
        if (arguments.flag("-h") || arguments.flag("--help")) {
            std::cout << usage << helpText();
            return false;
        }
        if (arguments.flag("--json")) {
            json = true;
        } else if (!take(arguments) && !(more && more(arguments))) {
            arguments.reject();
        }
    }
    return true;
}

}  // namespace tracker::Front
