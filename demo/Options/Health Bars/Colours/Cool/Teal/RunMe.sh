#!/bin/sh
# Installs this option into the game's interface folder. The sample pack only says what it
# would do; "-h" means the program runs this script without a window.
#
# First it keeps the option's marks, as every installer of a pack should: this option is now
# the selected one of its group (its Selected.ini, its OptionMode), the others of the group are
# not. A theme saved afterwards records what is ticked, and after a theme is applied the tree
# shows the theme's options. The marks are written at once, before the slow part of the
# install, so they are in place when Varimond reads the tree again after the option's delay.
sh "../../../../.pack/keep-marks.sh" || exit 1

echo "Varimond sample: installing 'Teal health bars' (arguments: $*)"
echo "  would copy the option's files from $(pwd) into the game's custom interface folder"
sleep 3
