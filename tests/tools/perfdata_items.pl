#!/usr/bin/perl
# Reads one check line on standard input and prints, one per line, the label
# of every performance-data item that Monitoring::Plugin::Performance parses
# from it, then "items N". Exit 2 when the line is not one line.
use strict;
use warnings;
use Monitoring::Plugin::Performance;

local $/;
my $line = <STDIN>;
defined $line or exit 2;
$line =~ s/\n\z// or exit 2;
exit 2 if $line =~ /\n/;
my (undef, $perfdata) = split /\|/, $line, 2;
defined $perfdata or exit 2;
my @items = Monitoring::Plugin::Performance->parse_perfstring($perfdata);
print $_->label, "\n" for @items;
print "items ", scalar(@items), "\n";
