import sys

from ulo_protocol_cli import main

sys.exit(main())
