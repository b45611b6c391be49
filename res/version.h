// The programs' version, written here only: the version block, tavik-verify --version and the archive's name read it.
#ifndef TAVIK_VERSION_H
#define TAVIK_VERSION_H

// Plain decimal numbers without leading zeros, since the text is spelled from them as written: the numbers Explorer
// shows and the text --version prints come from these two and cannot disagree.
#define TAVIK_VERSION_MAJOR 0
#define TAVIK_VERSION_MINOR 10

// One string literal spelled from the tokens 0.10, not literals to be joined: not every resource compiler joins them
// in a version block.
#define TAVIK_SPELL_(tokens) #tokens
#define TAVIK_SPELL(tokens) TAVIK_SPELL_(tokens)
#define TAVIK_VERSION TAVIK_SPELL(TAVIK_VERSION_MAJOR.TAVIK_VERSION_MINOR)

#endif
