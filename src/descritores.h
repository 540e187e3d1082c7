#ifndef CATRACA_DESCRITORES_H
#define CATRACA_DESCRITORES_H

// Opens /dev/null on whichever of the descriptors 0, 1 and 2 the program was
// started without. Must run before anything else opens a file: a pipe or a
// database given one of those numbers would be taken for the console. Returns
// false when /dev/null cannot be opened.
bool abreDescritoresPadrao();

#endif
