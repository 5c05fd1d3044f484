"""python -m vantor.sim --target HOST:PORT [options]: the simulator on its own."""
import sys

from vantor.cli import main

sys.exit(main(["sim", *sys.argv[1:]]))
