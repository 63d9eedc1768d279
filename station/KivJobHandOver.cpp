// Job hand-over on re-detection: not built yet. Until then a record whose job is running ignores its
// device's returns and departures.
#include "KivJobHandOver.h"

void KivJobArrival(KivFrame&, KivDevice&, KivJobLookup, const DeviceChangeInfo&) {}

void KivJobRemoval(KivFrame&, KivDevice&, const DeviceChangeInfo&) {}
