"""The contacts the benchmarks fill phonebooks with, as bench/bench_contacts.hpp
makes them: contact i has the unique ID "id-i", the cell number +3361 and i
on 7 digits, a work number, an e-mail address and a postal address."""


def contact(i):
    n = str(i)
    return {"uniqueID": "id-" + n, "formattedName": "Contact " + n, "organisation": "Example",
            "telephoneNumbers": [{"name": "+3361%07d" % i, "type": "cell", "preferred": True},
                                 {"name": "+331400" + n, "type": "work", "preferred": False}],
            "emails": [{"name": "c%s@example.com" % n, "type": "home", "preferred": True}],
            "addresses": [{"name": n + " rue de l'Exemple, 75011 Paris", "type": "home",
                           "preferred": True}]}
