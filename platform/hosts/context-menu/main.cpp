// loftwise-context-menu: the host file managers call to show, list or run the
// commands of the installed contextual-menu plug-ins.
#include "platform/hosts/context-menu/ContextMenuHost.h"

int main(int argc, char** argv) {
    return plat::cmhost::RunContextMenuHost(argc, argv);
}
