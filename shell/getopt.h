// Option parser shared by the command line and the `cp` command.
//
// It is kept in its own namespace so that its state never mixes with the C
// library's parser of the same names: always call it qualified,
// sh_opt::getopt(...), sh_opt::optind, ...
#pragma once

namespace sh_opt {

extern int opterr;    // non-zero: getopt writes its diagnostics; starts at 1
extern int optind;    // index of the next argument to examine; starts at 1
extern int optpos;    // next option character within argv[optind]; 1 = new argument
extern int optopt;    // the option character examined last
extern char* optarg;  // argument of the option returned last, or null

// Returns the next option character, '?' for a character not in `optstring`
// or an option whose argument is missing, and -1 when the options end (at
// the first word that does not begin with '-', at a lone "-", or after "--").
// A character followed by ':' in `optstring` takes an argument, either the
// rest of the same word or the next word.  Diagnostics name argv[0] as given.
int getopt(int argc, char* const argv[], const char* optstring);

// Starts a new parse: opterr, optind and optpos back to 1.
void getopt_reset();

}  // namespace sh_opt
