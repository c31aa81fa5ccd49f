// Text signatures and documentation strings of the module functions, exactly as registered.
#pragma once

namespace pelmora::docs {

constexpr const char doc_load_min_instance[] =
    "load_min_instance(path)\n--\n\n"
    "Loads a single-commodity network instance from a DIMACS .min file.\n"
    "\n"
    "Args:\n"
    "    path (str): The filesystem path to the .min file.\n"
    "\n"
    "Returns:\n"
    "    NetworkInstance: An object containing information on the min-cost flow instance.\n"
    "\n"
    "Raises:\n"
    "    IOError: If the file cannot be read or the format is invalid.";

constexpr const char doc_split_supplies_uniform[] =
    "split_supplies_uniform(data, num_commodities)\n--\n\n"
    "Partitions nodal supply/demand into K commodities using a uniform distribution.\n"
    "\n"
    "Args:\n"
    "    data (Dict[int, int]): A mapping of node IDs to their total supply/demand.\n"
    "    num_commodities (int): The number of commodities.\n"
    "\n"
    "Returns:\n"
    "    Dict[int, List[int]]: A mapping where each node ID points to a list of the commodity supplies/demands";

constexpr const char doc_split_supplies_spread[] =
    "split_supplies_spread(data, num_commodities, seed)\n--\n\n"
    "Partitions nodal supply/demand into K commodities using a spread distribution.\n"
    "\n"
    "Args:\n"
    "    data (Dict[int, int]): A mapping of node IDs to their total supply/demand.\n"
    "    num_commodities (int): The number of commodities.\n"
    "    seed (int): Seed.\n"
    "\n"
    "Returns:\n"
    "    Dict[int, List[int]]: A mapping where each node ID points to a list of the commodity supplies/demands.";

constexpr const char doc_split_supplies_beta_binomial[] =
    "split_supplies_beta_binomial(data, num_commodities, concentration_param=3.0, seed=42)\n--\n\n"
    "Partitions nodal supply/demand into K commodities using a beta-binomial distribution.\n"
    "\n"
    "Args:\n"
    "    data (Dict[int, int]): A mapping of node IDs to the total supply/demand.\n"
    "    num_commodities (int): The number of commodities.\n"
    "    concentration_param (float): Concentration parameter for Beta-Binomial distribution. Defaults to 3.0.\n"
    "    seed (int): Seed.\n"
    "\n"
    "Returns:\n"
    "    Dict[int, List[int]]: A mapping where each node ID points to a list of the commodity supplies / demands.";

constexpr const char doc_compute_commodity_demand_heterogeneity[] =
    "compute_commodity_demand_heterogeneity(partition, original)\n--\n\n"
    "Computes the commodity-demand heterogeneity H(B) of a given partition.\n"
    "\n"
    "The metric is defined as the average total variation distance between the commodity-share vector of each active "
    "node and the uniform distribution.\n"
    "Its value lies in [0, 1].\n"
    "\n"
    "Args: \n"
    "    partition (Dict[int, List[int]]): Mapping from node ID to commodity demands.\n"
    "    original (Dict[int, int]): Original single-commodity demands.\n"
    "\n"
    "Returns:\n"
    "    float: Commodity-demand heterogeneity in [0,1].";

constexpr const char doc_generate_multi_commodity_data[] =
    "generate_multi_commodity_data(instance, num_commodities, method, randomize_caps=False, cap_a=0.8, cap_b=1.0, "
    "randomize_costs=False, cost_a=0.8, cost_b=1.2, concentration_param=3.0, cap_zero=False, cap_zero_param=0.0, "
    "seed=42)\n--\n\n"
    "Generates a full multi-commodity dataset from a single-commodity instance.\n"
    "\n"
    "This function handles the partitioning of supplies and the optional randomization of\n"
    "arc capacities and costs across commodities.\n"
    "\n"
    "Args:\n"
    "    instance (NetworkInstance): The base single-commodity network.\n"
    "    num_commodities (int): The number of commodities.\n"
    "    method (int): Partitioning method. 0 = Spread, 1 = Uniform, 2 = Beta-Binomial.\n"
    "    randomize_caps (bool, optional): If True, varies capacities per commodity. Default to False.\n"
    "    cap_a (float, optional): Lower multiplier for capacity randomization. Defaults to 0.8.\n"
    "    cap_b (float, optional): Upper multiplier for capacity randomization. Defaults to 1.0.\n"
    "    randomize_costs (bool, optional): If True, varies costs per commodity. Defaults to False.\n"
    "    cost_a (float, optional): Lower multiplier for cost randomization. Defaults to 0.8.\n"
    "    cost_b (float, optional): Upper multiplier for cost randomization. Defaults to 1.2.\n"
    "    concentation_param (float, optional): Concentration parameter for Beta-Binomial distribution. Defaults to "
    "3.0.\n"
    "    cap_zero (bool, optional): If True, set a fraction of individual capacities to zero. Defaults to False.\n"
    "    cap_zero_param (float, optional): Fraction of arcs excluded per commmodity. Defaults to 0.0.\n"
    "    seed (int, optional): Seed.\n"
    "\n"
    "If cap_zero is True and cap_zero_param > 0, at least one arc per commodity is excluded.\n"
    "\n"
    "Returns:\n"
    "    MultiCommodityData: The generated multi-commodity data.";

constexpr const char doc_save_multi_commodity_instance[] =
    "save_multi_commodity_instance(path, instance, multi_data)\n--\n\n"
    "Exports a multi-commodity instance to a DIMACS-formatted file.\n"
    "\n"
    "Uses a specialized hybrid format that compresses non-randomized arc data while allowing\n"
    "expanded per-commodity values when necessary.\n"
    "\n"
    "Args:\n"
    "    path (str): Export destination path.\n"
    "    instance (NetworkInstance): The base network topology.\n"
    "    multi_data (MultiCommodityData): The multi-commodity data.\n"
    "";

constexpr const char doc_load_multi_commodity_instance[] =
    "load_multi_commodity_instance(path)\n--\n\n"
    "Loads and parses a multi-commodity DIMACS file into a multicommodity-instance.\n"
    "\n"
    "This function reads the specialized DIMACS format generated by this package.\n"
    "It reconstructs the multicommodity instance.\n"
    "\n"
    "Args:\n"
    "    path (str): The filesystem path to the multi-commodity .min file.\n"
    "\n"
    "Returns:\n"
    "    ParsedMulticommodityInstance: An object containing multi-commodity data.\n"
    "\n"
    "Raises:\n"
    "    RuntimeError: If the file header is inconsistent or the arc data is malformed.\n"
    "    IOError: If the file cannot be accessed.";

constexpr const char doc_get_adjacency_mapping[] =
    "get_adjacency_mapping(nodes, edges)\n--\n\n"
    "Creates adjacency mapping from nodes and edges.\n"
    "\n"
    "Args: \n"
    "    nodes (List[int]): List of node IDs.\n"
    "    edges (List[int, int]): List of edges.\n"
    "\n"
    "Returns:\n"
    "    Tuple[Dict[int, List[int]], Dict[int, List[int]]]: Incoming and outgoing.";

constexpr const char doc_get_incidence_mapping[] =
    "get_incidence_mapping(nodes, edges)\n--\n\n"
    "Creates the incidence mapping of the graph.\n"
    "\n"
    "Args:\n"
    "    nodes (List[int]): List of node IDs.\n"
    "    edges (List[Tuple[int, int, int]]): List of `(tail, head, index)` triples.\n"
    "\n"
    "Returns:\n"
    "    Tuple[Dict[int, List[Tuple[int, int, int]]], Dict[int, List[Tuple[int, int, int]]]]: Incoming and outgoing \n"
    "arc lists per node.";

}  // namespace pelmora::docs
