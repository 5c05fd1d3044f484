import sys

from vantor.cli import main

sys.exit(main())
