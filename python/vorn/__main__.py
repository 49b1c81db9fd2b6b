import sys

from ._native import main

sys.exit(main())
