#!/usr/bin/env bash
# The end-to-end demo. Not built yet: it arrives with the provider simulator.
echo "make demo: the end-to-end demo is not built yet; 'make test' runs what exists."
