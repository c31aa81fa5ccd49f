"""The split methods by the names the command line, the CSV rows and the summaries give them, and
their numbers in generate_multi_commodity_data (a module of its own: the command's parser needs
the names without loading the generation's modules)."""

METHODS: dict[str, int] = {"spread": 0, "uniform": 1, "beta-binomial": 2}
