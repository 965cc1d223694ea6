// Entry points of modules that are not built yet. Each does nothing and
// reports success, so the shell runs its full start-up order meanwhile.
#include "app/ConnectionSettings.h"
#include "app/DropIntake.h"
#include "app/WicketList.h"
#include "engine/FTPUpload.h"




