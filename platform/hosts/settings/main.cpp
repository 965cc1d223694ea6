// loftwise-settings: the window the settings panes show in.
#include "platform/hosts/settings/SettingsHost.h"

int main(int argc, char** argv) {
    return RunSettingsHost(argc, argv);
}
