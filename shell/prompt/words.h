// Splitting a command line into words.
#pragma once

#include <string>

// Splits `line` in place into at most `max_words` - 1 words and ends the
// list with a null entry; returns the number of words.  Words are separated
// by runs of spaces and tabs.  A double quote starts or ends a quoted
// stretch in which blanks belong to the word; a backslash makes the next
// character, whatever it is, part of the word.  Quotes and the backslashes
// that escape are removed; `""` is an empty word.  A line without quotes or
// backslashes splits exactly as strtok with " \t" does.
int split_words(char* line, char** words, int max_words);

// Host path `word` as the user means it: "~" alone, or "~/" in front,
// stands for the home directory ($HOME); anything else is taken as typed.
std::string host_word(const char* word);
