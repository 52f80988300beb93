// The three small pictures of the trigger strings group: data going from the
// computer to the machine controller, coming from it, and neither.
#pragma once

#include <QPixmap>

namespace vorl {

enum class Direction { Neutral, ToController, FromController };

// A computer at the left, a machine tool at the right and, between them, an
// arrow in the direction the trigger characters travel (a plain dotted line
// when no trigger box has the focus).
QPixmap directionPicture(Direction direction);

} // namespace vorl
