// The class 1 sender's library-wide state with its values at load.
#include "class1/class1.h"

Class1State g_class1 = {
    0,  // dle_pending
    // TSI: not final, TSI with the X bit, 20 spaces for the identity.
    {kControlNotFinal, kFcfTsiX, ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
     ' ', ' ', ' ', ' '},
    // DCS: final, DCS with the X bit, then the information field.
    {kControlFinal, kFcfDcs, 0x00, 0x46, 0x88, 0x00},
    0,     // trailing_zero_bits
    0,     // line_byte_count
    0,     // nonzero_run
};
