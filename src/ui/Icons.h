// Icon resources by their ids (IDI_* of ui/ResourceIds.h):
// res/icons/<id>-<size>.png, every size kept.
#pragma once

#include <QIcon>

namespace tavro {

// The icon with all its compiled-in sizes; a null icon for an unknown id.
QIcon LoadIconResource(int id);

}  // namespace tavro
