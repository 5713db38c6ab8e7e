import sys

from vl.cli import main

sys.exit(main())
