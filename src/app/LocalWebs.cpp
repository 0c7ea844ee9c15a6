// LocalWebs
