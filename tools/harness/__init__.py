"""What the tests, `./dev run` and `./dev bench` share: Wine and its display (wine), the
Windows programs of one run (session), the program's registry keys (registry), a reader of
the program file (pe), and a signer with a time-stamp authority of the tests' own (signing)."""
