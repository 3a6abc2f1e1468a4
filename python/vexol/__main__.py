"""``python -m vexol``: versions, platform, threads and the draw digest's self-check."""

import sys

from vexol._environment import main

sys.exit(main())
