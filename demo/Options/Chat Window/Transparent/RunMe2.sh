#!/bin/sh
# Installs this option into the game's interface folder. The sample pack only says what it
# would do; "-h" means the program runs this script without a window.
echo "Varimond sample: finishing the install of 'Transparent chat window' (arguments: $*)"
echo "  would copy the option's files from $(pwd) into the game's custom interface folder"
sleep 3
