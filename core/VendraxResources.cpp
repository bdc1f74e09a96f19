#include "VendraxResources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE declares the initialiser of "resources.qrc" in the global
// namespace, so this function must stay outside any namespace.
void initVendraxResources()
{
    Q_INIT_RESOURCE(resources);
}
