"""Which result objects the cyclic garbage collector tracks.

Tuples made only of ints are created untracked (the collector would untrack them at its next run
anyway, after scanning them all); anything that holds a container must stay tracked, or a cycle
built through it by the caller could never be collected.
"""

import gc
import weakref

import pelmora


def test_int_tuples_are_untracked_and_containers_stay_tracked(min_file):
    path = min_file(["p min 3 3", "n 1 2", "n 3 -2", "a 1 2 0 4 5", "a 2 3 0 4 5", "a 1 2 0 3 7"])
    instance = pelmora.load_min_instance(path)
    data = pelmora.generate_multi_commodity_data(instance, 2, 1)
    int_tuples = [
        *instance.arcs, *instance.topology(), *instance.arc_indices, *data.commodity_edges,
        *data.commodity_capacities, *data.commodity_weights, *data.arc_indices,
    ]
    assert int_tuples and not any(gc.is_tracked(t) for t in int_tuples)

    incoming_outgoing = pelmora.get_incidence_mapping(instance.nodes, instance.arcs)
    assert type(incoming_outgoing) is tuple and gc.is_tracked(incoming_outgoing)
    # Lists and dicts are containers: never untracked.
    for container in [instance.arcs, instance.arc_indices, *instance.arc_indices.values(), data.commodity_capacities,
                      *data.commodity_capacities.values()]:
        assert gc.is_tracked(container)


def test_a_cycle_through_a_returned_container_is_collected(min_file):
    path = min_file(["p min 2 1", "a 1 2 0 4 5"])
    instance = pelmora.load_min_instance(path)
    incidence = pelmora.get_incidence_mapping(instance.nodes, instance.arcs)
    incidence[0]["self"] = incidence  # a cycle through the returned tuple
    probe = type("Probe", (), {})()
    incidence[1]["probe"] = probe
    alive = weakref.ref(probe)
    del incidence, probe
    gc.collect()
    assert alive() is None
