import sys

from ka_core.batch import main

sys.exit(main())
