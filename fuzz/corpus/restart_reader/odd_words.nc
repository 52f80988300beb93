%
g21 g90 g54.1 p3
/2 t1 m6
g0 x1?. y2. a90.
g91 g1 z-1 f100
x1 (CUT
G04 X2.5
G28 Z0
G53 Y0
G16 X10. Y45.
G15 G68 X0 Y0 R30.
G51 P2.
M98 P1000
U1. W2.
%
