"""The parts of the `corvane` command (see Corvane.cli): reading files whole and
safely, their structure and what keeps the decoder from reading them, and the
info, edit and check commands."""
