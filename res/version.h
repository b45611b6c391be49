// The programs' version, written here only: the version block, tavik-verify --version and the archive's name read it.
#ifndef TAVIK_VERSION_H
#define TAVIK_VERSION_H

#define TAVIK_VERSION "0.10"

#endif
