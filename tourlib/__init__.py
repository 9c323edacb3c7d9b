"""The tour's package: the command line (cli) presents the lessons (present) and judges a
student's version (check); both build through build, which reads the catalogue and writes
through term. Imports run that way only."""
