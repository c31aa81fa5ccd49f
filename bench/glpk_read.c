/* GLPK's DIMACS minimum-cost flow reader, glp_read_mincost, on one file (a peer of
 * load_min_instance in bench/bench_scaling.py). Prints: seconds nodes arcs.
 * Build: cc -O2 glpk_read.c -o glpk_read -lglpk   (Debian's libglpk-dev) */
#include <glpk.h>
#include <stddef.h>
#include <stdio.h>
#include <time.h>

typedef struct {
    double rhs;
} node_data;

typedef struct {
    double low, cap, cost;
} arc_data;

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: glpk_read FILE\n");
        return 2;
    }
    glp_term_out(GLP_OFF);
    glp_graph *graph = glp_create_graph(sizeof(node_data), sizeof(arc_data));
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    int rc = glp_read_mincost(graph, offsetof(node_data, rhs), offsetof(arc_data, low), offsetof(arc_data, cap),
                              offsetof(arc_data, cost), argv[1]);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    if (rc != 0) {
        fprintf(stderr, "glp_read_mincost failed on %s\n", argv[1]);
        return 1;
    }
    printf("%.6f %d %d\n", (double)(t1.tv_sec - t0.tv_sec) + 1e-9 * (double)(t1.tv_nsec - t0.tv_nsec), graph->nv,
           graph->na);
    glp_delete_graph(graph);
    return 0;
}
