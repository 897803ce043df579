// Icon resources by their ids: res/icons/<id>-<size>.png, every size kept.
#pragma once

#include <QIcon>

namespace tavro {

inline constexpr int kAppIconId = 128;

// The icon with all its compiled-in sizes; a null icon for an unknown id.
QIcon LoadIconResource(int id);

}  // namespace tavro
