# Reads a textfile of the check with the Prometheus client's own parser of the text format
# and says what it found: one line per family, or the parser's complaint (exit 1).
import sys

from prometheus_client.parser import text_string_to_metric_families

try:
    with open(sys.argv[1], encoding="ascii") as textfile:
        families = list(text_string_to_metric_families(textfile.read()))
except Exception as error:  # the parser raises ValueError and others of its own
    print(f"the parser refuses the textfile: {error}")
    sys.exit(1)
for family in families:
    print(f"parsed {family.name} ({family.type}): {len(family.samples)} sample(s)")
print("the parser accepts the textfile")
