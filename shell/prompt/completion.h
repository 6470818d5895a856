// Tab completion at the prompt: which word is being typed, what it names
// (a command, a path on the image, a host path), and the candidates.
#pragma once

#include <string>
#include <vector>

struct Candidate {
    std::string name;   // the full last component
    bool is_dir = false;
};

struct CompletionWord {
    std::string text;   // the word up to the cursor, quotes and escapes removed
    enum Kind { NONE, COMMAND, IMAGE, HOST } kind = NONE;
};

// Classifies the word that ends at the end of `before` (the line up to
// the cursor): the command word; a path on the image for cd, ls, more and
// the first operand of cp; a host path for lcd and later operands of cp.
CompletionWord completion_word(const std::string& before);

// Names that begin with the last component of `word.text`, in the
// directory named by what comes before its last '/'.
std::vector<Candidate> completion_candidates(const CompletionWord& word);

// `text` with a backslash before every blank, quote and backslash, so that
// the word splitter reads it back as one word.
std::string escape_word(const std::string& text);
