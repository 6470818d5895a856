set path = (/usr/ucb /usr/bin /usr/etc .)
set history = 40
alias ls ls -F
