"""`python -m pupil_radial`: the pupil-radial command."""

import sys

from .cli import main

sys.exit(main())
